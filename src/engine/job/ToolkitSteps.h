#pragma once
#include "engine/job/WorkFolders.h"

#include <QString>

class DOSOutputs;

struct DocumentInfo {
    QString title;
    QString author;
    QString creationDate;
    QString subject;
    QString keywords;
};

// What one toolkit run left: whether it did its work (ended well and wrote
// its output file), which program ran, and what it printed (for the user
// when it failed).
struct ToolkitRunResult {
    bool started = false;
    bool ok = false;
    bool outputExists = false;
    int exitCode = -1;   // -1: not known
    bool diskFull = false; // it failed with no room left for its output
    QString tool;
    QString output;
};

// The toolkit runs of a job: the information file, the join steps
// (velunor-join) and the information step (velunor-docinfo), each through
// the window's DOSOutputs and watched by its own program's name.
class ToolkitSteps {
public:
    // The programs are looked for in programFolder when one is given (tests
    // put stand-ins there), else where ours are installed.
    ToolkitSteps(DOSOutputs& runner, const WorkFolders& folders, const QString& programFolder = QString());

    static const QString JoinTool; // "velunor-join"
    static const QString InfoTool; // "velunor-docinfo"

    // Our helper in libexec/velunor/ (AppPaths::HelperProgram); empty if it
    // is not there.
    static QString ToolPath(const QString& tool);
    // The first toolkit program a job needs that cannot be found; empty
    // when both are there.
    static QString MissingTool();
    // Ends the stray runs of both programs (see KillProcessByName).
    static void EndStrayRuns();
    // Whether the disk of the folder has less room left than bytes.
    static bool NoRoomFor(const QString& folder, qint64 bytes);
    // Quotes a command-line argument when it holds a blank or a quote.
    static QString QuoteArgument(const QString& arg);

    // A value as the information file carries it: a line break inside it
    // would start a new line, so each becomes a blank.
    static QString OneLine(QString value);

    bool WriteInfoFile(const DocumentInfo& info, QString* error = nullptr) const;
    QString JoinCommandLine(int i) const;   // chain i + page i -> chain i + 1
    // chain n + info -> tmpx.pdf; `archive`: as a PDF/A-2b document.
    QString InfoCommandLine(int n, bool archive = false) const;

    // Join step i: page file i appended to chain file i, which becomes
    // chain file i + 1.
    ToolkitRunResult RunJoin(int i);
    ToolkitRunResult RunInfo(int n, bool archive = false);

private:
    QString program(const QString& tool) const; // quoted for the command line
    ToolkitRunResult run(const QString& tool, const QString& commandLine, const QString& expectedOutput,
                         qint64 inputBytes);
    DOSOutputs& m_runner;
    WorkFolders m_folders;
    QString m_programFolder;
};
