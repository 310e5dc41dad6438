#include "engine/ToolkitSteps.h"

#include "platform/AppPaths.h"
#include "platform/DOSOutputs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

const QString ToolkitName = QStringLiteral("pdftk");

// One line per value: a line break inside a value would start a new record.
QString oneLine(QString value)
{
    value.replace(QLatin1String("\r\n"), QLatin1String(" "));
    value.replace(u'\r', u' ');
    value.replace(u'\n', u' ');
    return value;
}

// The toolkit found, else its name in the program folder: the runner then
// says it cannot be found.
QString toolkitForCommand()
{
    const QString toolkit = ToolkitSteps::ToolkitPath();
    return toolkit.isEmpty() ? AppPaths::JoinPath(AppPaths::ProgramFolder(), ToolkitName) : toolkit;
}

} // namespace

ToolkitSteps::ToolkitSteps(DOSOutputs& runner, const WorkFolders& folders)
    : m_runner(runner), m_folders(folders)
{
}

QString ToolkitSteps::ToolkitPath()
{
    const QString beside = AppPaths::JoinPath(AppPaths::ProgramFolder(), ToolkitName);
    const QFileInfo fi(beside);
    if (fi.isFile() && fi.isExecutable())
        return beside;
    return QStandardPaths::findExecutable(ToolkitName);
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

bool ToolkitSteps::WriteInfoFile(const DocumentInfo& info, QString* error) const
{
    const QString creatorProducer = QStringLiteral("Velunor");
    const std::pair<const char*, QString> pairs[] = {
        {"Title", info.title},           {"Author", info.author},
        {"CreationDate", info.creationDate}, {"Subject", info.subject},
        {"Keywords", info.keywords},     {"Creator", creatorProducer},
        {"Producer", creatorProducer},
    };
    // Today's pdftk keeps only the first key of a record, so every pair
    // gets a record of its own.
    QByteArray text;
    for (const auto& [key, value] : pairs) {
        text += "InfoBegin\r\n";
        text += "InfoKey: ";
        text += key;
        text += "\r\n";
        text += "InfoValue: " + oneLine(value).toUtf8() + "\r\n";
    }
    const QString path = m_folders.infoFile();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        if (error)
            *error = QStringLiteral("Cannot write the document information file \"%1\": %2")
                         .arg(QDir::toNativeSeparators(path), file.errorString());
        return false;
    }
    return true;
}

QString ToolkitSteps::JoinCommandLine(int i) const
{
    return QuoteArgument(toolkitForCommand()) + u' ' + QuoteArgument(m_folders.chainFile(i)) + u' '
        + QuoteArgument(m_folders.pageFile(i)) + QStringLiteral(" cat output ")
        + QuoteArgument(m_folders.chainFile(i + 1)) + QStringLiteral(" dont_ask");
}

QString ToolkitSteps::InfoCommandLine(int n) const
{
    // The UTF-8 form: the plain one decodes "&#233;" and the like as
    // character references instead of taking the text as written.
    return QuoteArgument(toolkitForCommand()) + u' ' + QuoteArgument(m_folders.chainFile(n))
        + QStringLiteral(" update_info_utf8 ") + QuoteArgument(m_folders.infoFile())
        + QStringLiteral(" output ") + QuoteArgument(m_folders.finishedFile())
        + QStringLiteral(" dont_ask");
}

ToolkitRunResult ToolkitSteps::RunJoin(int i)
{
    return run(JoinCommandLine(i), m_folders.chainFile(i + 1));
}

ToolkitRunResult ToolkitSteps::RunInfo(int n)
{
    return run(InfoCommandLine(n), m_folders.finishedFile());
}

ToolkitRunResult ToolkitSteps::run(const QString& commandLine, const QString& expectedOutput)
{
    // A file left by an earlier run must not pass for this run's result.
    QFile::remove(expectedOutput);
    WatchedProcessName = ToolkitName;
    m_runner.setCommandLine(commandLine);
    ToolkitRunResult result;
    m_runner.ExecuteCommand(QString());
    result.started = m_runner.LastRunStarted();
    // The watch is by name; our own run must be over before the next one
    // starts, whatever ended the runner's loop.
    if (result.started && m_runner.ChildRunning())
        m_runner.WaitForChild();
    result.output = result.started ? m_runner.Outputs() + m_runner.UnreadOutputs() : QString();
    const QFileInfo out(expectedOutput);
    result.outputExists = out.isFile() && out.size() > 0;
    return result;
}
