#include "engine/job/ToolkitSteps.h"

#include "platform/AppPaths.h"
#include "platform/DOSOutputs.h"
#include "platform/KillProcessByName.h"
#include "platform/ProgramName.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/statvfs.h>

namespace {

qint64 fileSize(const QString& path)
{
    return QFileInfo(path).size();
}

} // namespace

ToolkitSteps::ToolkitSteps(DOSOutputs& runner, const WorkFolders& folders, const QString& programFolder)
    : m_runner(runner), m_folders(folders), m_programFolder(programFolder)
{
}

QString ToolkitSteps::program(const QString& tool) const
{
    // Where it was looked for, found or not: the runner then says it cannot
    // be found.
    return QuoteArgument(m_programFolder.isEmpty() ? AppPaths::HelperProgram(tool)
                                                   : AppPaths::JoinPath(m_programFolder, tool));
}

// Both are our own small programs on libqpdf, which start in milliseconds:
// the join appends one page file to the chain file in place, so that it
// costs one page however long the chain; the information step reads the
// information file and also writes the dates and the XMP mirror.
const QString ToolkitSteps::JoinTool = QStringLiteral("velunor-join");
const QString ToolkitSteps::InfoTool = QStringLiteral("velunor-docinfo");

QString ToolkitSteps::ToolPath(const QString& tool)
{
    // Ours, installed with the programs: never another of that name.
    const QFileInfo helper(AppPaths::HelperProgram(tool));
    return helper.isFile() && helper.isExecutable() ? helper.filePath() : QString();
}

QString ToolkitSteps::MissingTool()
{
    for (const QString& tool : {JoinTool, InfoTool})
        if (ToolPath(tool).isEmpty())
            return tool;
    return {};
}

void ToolkitSteps::EndStrayRuns()
{
    for (const QString& tool : {JoinTool, InfoTool})
        KillProcessByName(tool);
}

bool ToolkitSteps::NoRoomFor(const QString& folder, qint64 bytes)
{
    struct statvfs fs {};
    if (::statvfs(QFile::encodeName(folder).constData(), &fs) != 0)
        return false;
    return qint64(fs.f_bavail) * qint64(fs.f_frsize) < bytes;
}

QString ToolkitSteps::QuoteArgument(const QString& arg)
{
    if (!arg.isEmpty() && !arg.contains(u' ') && !arg.contains(u'\t') && !arg.contains(u'"'))
        return arg;
    // The inverse of DOSOutputs::SplitCommandLine: backslashes that end up
    // before a quote are doubled, a literal quote gets one of its own.
    QString out = QStringLiteral("\"");
    qsizetype backslashes = 0;
    for (const QChar c : arg) {
        if (c == u'\\') {
            ++backslashes;
            continue;
        }
        if (c == u'"') {
            out += QString(backslashes * 2 + 1, u'\\');
            out += u'"';
        } else {
            out += QString(backslashes, u'\\');
            out += c;
        }
        backslashes = 0;
    }
    out += QString(backslashes * 2, u'\\');
    out += u'"';
    return out;
}

QString ToolkitSteps::OneLine(QString value)
{
    value.replace(QLatin1String("\r\n"), QLatin1String(" "));
    value.replace(u'\r', u' ');
    value.replace(u'\n', u' ');
    return value;
}

bool ToolkitSteps::WriteInfoFile(const DocumentInfo& info, QString* error) const
{
    const QString creatorProducer = ProgramName;
    const std::pair<const char*, QString> pairs[] = {
        {"Title", info.title},           {"Author", info.author},
        {"CreationDate", info.creationDate}, {"Subject", info.subject},
        {"Keywords", info.keywords},     {"Creator", creatorProducer},
        {"Producer", creatorProducer},
    };
    // Fourteen lines, UTF-8 with CR LF, values as typed.
    QByteArray text;
    for (const auto& [key, value] : pairs) {
        text += "InfoKey: ";
        text += key;
        text += "\r\n";
        text += "InfoValue: " + OneLine(value).toUtf8() + "\r\n";
    }
    const QString path = m_folders.infoFile();
    // A plain checked write, not a synced replacement: a work file read
    // moments later, and velunor-docinfo refuses one cut short.
    QFile file(path);
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size()
        && file.flush();
    const QString why = file.errorString();
    file.close();
    if (!written || file.error() != QFileDevice::NoError) {
        QFile::remove(path);
        if (error)
            *error = QStringLiteral("Cannot write the document information file \"%1\": %2")
                         .arg(QDir::toNativeSeparators(path), why);
        return false;
    }
    return true;
}

QString ToolkitSteps::JoinCommandLine(int i) const
{
    return program(JoinTool) + u' ' + QuoteArgument(m_folders.chainFile(i)) + u' '
        + QuoteArgument(m_folders.pageFile(i)) + QStringLiteral(" cat output ")
        + QuoteArgument(m_folders.chainFile(i + 1)) + QStringLiteral(" dont_ask");
}

QString ToolkitSteps::InfoCommandLine(int n, bool archive) const
{
    return program(InfoTool) + (archive ? QStringLiteral(" --pdfa ") : QStringLiteral(" ")) + QuoteArgument(m_folders.chainFile(n))
        + QStringLiteral(" update_info ") + QuoteArgument(m_folders.infoFile())
        + QStringLiteral(" output ") + QuoteArgument(m_folders.finishedFile())
        + QStringLiteral(" dont_ask");
}

ToolkitRunResult ToolkitSteps::RunJoin(int i)
{
    // The chain grows in place by about the page file's size, then moves on
    // to its next name: the work disk holds one chain file.
    return run(JoinTool, JoinCommandLine(i), m_folders.chainFile(i + 1), fileSize(m_folders.pageFile(i)));
}

ToolkitRunResult ToolkitSteps::RunInfo(int n, bool archive)
{
    return run(InfoTool, InfoCommandLine(n, archive), m_folders.finishedFile(), fileSize(m_folders.chainFile(n)));
}

ToolkitRunResult ToolkitSteps::run(const QString& tool, const QString& commandLine, const QString& expectedOutput,
                                   qint64 inputBytes)
{
    // A file left by an earlier run must not pass for this run's result.
    QFile::remove(expectedOutput);
    WatchedProcessName = tool;
    m_runner.setCommandLine(commandLine);
    ToolkitRunResult result;
    result.tool = tool;
    m_runner.ExecuteCommand(QString());
    result.started = m_runner.LastRunStarted();
    // The watch is by name; our own run must be over before the next one
    // starts, whatever ended the runner's loop.
    if (result.started && m_runner.ChildRunning())
        m_runner.WaitForChild();
    result.output = result.started ? m_runner.Outputs() + m_runner.UnreadOutputs() : QString();
    result.exitCode = result.started ? m_runner.LastExitCode() : -1;
    const QFileInfo out(expectedOutput);
    result.outputExists = out.isFile() && out.size() > 0;
    // An output written in part (a full disk, a crash) is no result.
    result.ok = result.started && result.outputExists && result.exitCode <= 0;
    if (result.started && !result.ok) {
        // The output is what would have needed the room: about the size of
        // the inputs.
        result.diskFull = result.output.contains(QString::fromLocal8Bit(std::strerror(ENOSPC)))
            || NoRoomFor(QFileInfo(expectedOutput).path(), inputBytes);
        QFile::remove(expectedOutput);
    }
    return result;
}
