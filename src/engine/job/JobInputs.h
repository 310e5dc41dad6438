#pragma once
#include "engine/job/JobSettings.h"

#include <QString>

// What the conversion job reads, each value at the moment of use: the list
// entry for every page, the count at every progress step, the quality for
// every page, the title and folder whenever the output path is needed.
class JobInputs {
public:
    virtual ~JobInputs() = default;
    virtual int EntryCount() const = 0;
    virtual QString Entry(int i) const = 0;
    virtual JobSettings Settings() const = 0;
    // The job removes one trailing "/" from the output folder field itself.
    virtual void SetOutputFolder(const QString& folder) = 0;
};
