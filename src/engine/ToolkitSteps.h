#pragma once
#include "engine/WorkFolders.h"

#include <QString>

class DOSOutputs;

struct DocumentInfo {
    QString title;
    QString author;
    QString creationDate;
    QString subject;
    QString keywords;
};

// What one toolkit run left: whether its output file is there, and what the
// toolkit printed (for the user when it failed).
struct ToolkitRunResult {
    bool outputExists = false;
    bool started = false;
    QString output;
};

// The pdftk runs of a job: the information file, the join steps and the
// information step, each through the window's DOSOutputs, watched by "pdftk".
class ToolkitSteps {
public:
    ToolkitSteps(DOSOutputs& runner, const WorkFolders& folders);

    // pdftk in the program folder first, then on PATH; empty if none.
    static QString ToolkitPath();
    // Quotes a command-line argument when it holds a blank or a quote.
    static QString QuoteArgument(const QString& arg);

    bool WriteInfoFile(const DocumentInfo& info, QString* error = nullptr) const;
    QString JoinCommandLine(int i) const;   // chain i + page i -> chain i + 1
    QString InfoCommandLine(int n) const;   // chain n + info -> tmpx.pdf

    ToolkitRunResult RunJoin(int i);
    ToolkitRunResult RunInfo(int n);

private:
    ToolkitRunResult run(const QString& commandLine, const QString& expectedOutput);
    DOSOutputs& m_runner;
    WorkFolders m_folders;
};
