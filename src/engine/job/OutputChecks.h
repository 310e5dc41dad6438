#pragma once
#include "engine/job/JobInputs.h"
#include "engine/job/ToolkitSteps.h"
#include "engine/pdf/PageLayout.h"
#include "platform/EventPump.h"

#include <QString>

// The checks made around a job, before its pages and after its document:
// none needs the job's state, so the job, the command line and the tests
// call them alike.
class OutputChecks {
public:
    // Why a title cannot name the output file, in user words; empty if fine.
    static QString TitleProblem(const QString& title);
    // Whether pdf opens as a PDF of `pages` pages carrying the information
    // entries; otherwise *problem says what is wrong.
    static bool CheckDocument(const QString& pdf, int pages, const DocumentInfo& info, QString* problem);
    // Why the pages' words cannot go to `sidecar` beside `document`, in
    // user words; empty if they can.
    static QString SidecarProblem(const QString& sidecar, const QString& document, bool searchable);
    // Makes `folder` and any missing folder along it (mode 0755, as mkdir -p)
    // and checks that it can be written; otherwise *error names the problem.
    static bool MakeOutputFolder(const QString& folder, QString* error);
    // The pictures that `layout` would put on their pages under 36 pixels
    // per inch or under an inch, as their headers give their sizes (no
    // pixels are decoded; `yield` after each): the first few by name and
    // how many, in user words; empty when there are none.
    static QString SmallPictures(const JobInputs& in, const PageLayout& layout, const YieldFunction& yield);
};
