#pragma once
#include <QString>

// What the conversion job reads, each value at the moment of use.
class JobInputs {
public:
    virtual ~JobInputs() = default;
    virtual int EntryCount() const = 0;
    virtual QString Entry(int i) const = 0;
    virtual QString Title() const = 0;
    virtual QString Author() const = 0;
    virtual QString Subject() const = 0;
    virtual QString Keywords() const = 0;
    virtual QString CreationDate() const = 0;
    virtual QString OutputFolder() const = 0;
    // The job removes one trailing "/" from the output folder field itself.
    virtual void SetOutputFolder(const QString& folder) = 0;
    virtual int Quality() const = 0;
};
