#include "engine/ConversionJob.h"

#include "engine/DocumentInfoPass.h"
#include "engine/JobInputs.h"
#include "engine/JobOutputs.h"
#include "engine/JobWorkArea.h"
#include "engine/OutputPlacement.h"
#include "engine/PageMaker.h"
#include "engine/SettingsFile.h"
#include "platform/AppPaths.h"
#include "platform/DOSOutputs.h"

#include <QFile>
#include <QFileInfo>

// Use qpdf without its deprecated PointerHolder API.
#ifndef POINTERHOLDER_TRANSITION
#define POINTERHOLDER_TRANSITION 4
#endif
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString kVelunor = QStringLiteral("Velunor");
const QString kPreparing = QStringLiteral("Preparing Files...");
const QString kCreating = QStringLiteral("Creating...");

bool s_running = false;

// Clears the program-wide flag on every way out of Run().
struct RunningFlag {
    RunningFlag() { s_running = true; }
    ~RunningFlag() { s_running = false; }
    RunningFlag(const RunningFlag&) = delete;
    RunningFlag& operator=(const RunningFlag&) = delete;
};

QString workDiskFull(const QString& workFolder, const QString& what)
{
    return QStringLiteral("The work disk is full: there is no room left in %1 to %2 (%3). "
                          "Please free some space on that disk and try again.")
        .arg(workFolder, what, QString::fromLocal8Bit(std::strerror(ENOSPC)));
}

QString toolkitFailure(const QString& what, const ToolkitRunResult& r, const QString& workFolder)
{
    const QString said = r.output.trimmed();
    if (r.diskFull)
        return workDiskFull(workFolder, what)
            + (said.isEmpty() ? QString() : QStringLiteral(" %1 said:\n\n%2").arg(r.tool, said));
    if (said.isEmpty())
        return QStringLiteral("The PDF toolkit %1 could not %2; it wrote no output file and said nothing.").arg(r.tool, what);
    return QStringLiteral("The PDF toolkit %1 could not %2. It said:\n\n%3").arg(r.tool, what, said);
}
} // namespace

ConversionJob::ConversionJob(JobInputs& inputs, JobOutputs& outputs, DOSOutputs& runner, JobWorkArea& workArea)
    : m_in(inputs), m_out(outputs), m_runner(runner), m_area(workArea)
{
}

bool ConversionJob::IsRunning()
{
    return s_running;
}

int ConversionJob::Percent(int i, int n)
{
    if (n < 2)
        return -1;
    // Divide first, in double: 29 / 100 x 100 is just below 29 and gives 28.
    const double p = std::floor(double(i) / double(n - 1) * 100.0);
    if (p < 0)
        return 0;
    return p > 100 ? 100 : int(p);
}

QString ConversionJob::TitleProblem(const QString& title)
{
    if (title.isEmpty())
        return QStringLiteral("Please type a document title: it names the output file.");
    if (title == QLatin1String(".") || title == QLatin1String(".."))
        return QStringLiteral("The document title \"%1\" cannot name a file. Please type another title.").arg(title);
    if (title.contains(QLatin1Char('/')))
        return QStringLiteral("The document title \"%1\" cannot name a file because it holds \"/\". "
                              "Please type another title.").arg(title);
    for (const QChar c : title) {
        // A line break or another control character in a file name breaks
        // every list of names (ls, scripts, file managers).
        if (c.category() == QChar::Other_Control)
            return QStringLiteral("The document title cannot name a file because it holds %1. "
                                  "Please type another title.")
                .arg(c == QLatin1Char('\n') || c == QLatin1Char('\r')
                         ? QStringLiteral("a line break")
                         : QStringLiteral("a control character (U+%1)")
                               .arg(QString::number(c.unicode(), 16).rightJustified(4, QLatin1Char('0')).toUpper()));
    }
    // 255 bytes is the longest name the usual Linux file systems take.
    if (QFile::encodeName(title + QStringLiteral(".pdf")).size() > 255)
        return QStringLiteral("The document title is too long to name a file. Please type a shorter title.");
    return {};
}

bool ConversionJob::CheckDocument(const QString& pdf, int pages, const DocumentInfo& info, QString* problem)
{
    auto say = [problem](const QString& text) {
        if (problem)
            *problem = text;
        return false;
    };
    if (!QFileInfo(pdf).isFile())
        return say(QStringLiteral("The finished document %1 was not written.").arg(pdf));
    try {
        QPDF doc;
        doc.setSuppressWarnings(true);
        doc.processFile(QFile::encodeName(pdf).constData());
        const auto count = QPDFPageDocumentHelper(doc).getAllPages().size();
        if (count != size_t(pages))
            return say(QStringLiteral("The finished document holds %1 of its %2 pages.").arg(count).arg(pages));
        QPDFObjectHandle dict = doc.getTrailer().getKey("/Info");
        if (!dict.isDictionary())
            return say(QStringLiteral("The document information was not written into the finished document."));
        const std::pair<const char*, QString> fields[] = {
            {"/Title", info.title},       {"/Author", info.author},
            {"/Subject", info.subject},   {"/Keywords", info.keywords},
            {"/CreationDate", info.creationDate}, {"/Creator", kVelunor},
            {"/Producer", kVelunor},
        };
        for (const auto& [key, expected] : fields) {
            QPDFObjectHandle v = dict.getKey(key);
            // The toolkit encodes values its own way (and decodes character
            // references), so only presence is judged, not the exact text.
            const bool present = v.isString();
            const bool filled = present && !v.getUTF8Value().empty();
            if (!present || (!expected.trimmed().isEmpty() && !filled))
                return say(QStringLiteral("The document information (%1) was not written into the finished document.")
                               .arg(QString::fromLatin1(key + 1)));
        }
    } catch (const std::exception& e) {
        return say(QStringLiteral("The finished document is not a readable PDF: %1").arg(QString::fromLocal8Bit(e.what())));
    }
    return true;
}

void ConversionJob::yield()
{
    m_out.Yield();
}

void ConversionJob::trimOutputFolder()
{
    QString folder = m_in.OutputFolder();
    // The root stays "/": without its "/" it would read as no folder at all.
    if (folder.endsWith(QLatin1Char('/')) && folder != QLatin1String("/")) {
        folder.chop(1);
        m_in.SetOutputFolder(folder);
    }
}

QString ConversionJob::outputPathNow() const
{
    const QString folder = m_in.OutputFolder();
    return folder + (folder == QLatin1String("/") ? QString() : QStringLiteral("/")) + m_in.Title() + QStringLiteral(".pdf");
}

void ConversionJob::writeSettings()
{
    if (!m_writeSettings)
        return;
    SettingsValues v;
    v.title = m_in.Title();
    v.author = m_in.Author();
    v.subject = m_in.Subject();
    v.keywords = m_in.Keywords();
    v.quality = QString::number(m_in.Quality());
    v.outputFolder = m_in.OutputFolder();
    // A settings file that cannot be written does not stop the job.
    SettingsFile::Write(m_settingsPath.isEmpty() ? AppPaths::SettingsFilePath() : m_settingsPath, v);
}

bool ConversionJob::makeOutputFolder(QString* error) const
{
    const QString folder = m_in.OutputFolder();
    if (folder.isEmpty()) {
        *error = QStringLiteral("No output folder is given. Please choose the folder for the document.");
        return false;
    }
    const QByteArray f8 = QFile::encodeName(folder);
    // One level only, as the user typed it.
    if (::mkdir(f8.constData(), 0777) == 0)
        return true;
    const int err = errno;
    if (QFileInfo(folder).isDir()) {
        // Said now, not after every page has been made and joined.
        if (::access(f8.constData(), W_OK | X_OK) == 0)
            return true;
        *error = QStringLiteral("The output folder %1 cannot be written: %2.")
                     .arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (err == EEXIST)
        *error = QStringLiteral("The output folder %1 could not be made: a file of that name is in the way.").arg(folder);
    else
        *error = QStringLiteral("The output folder %1 could not be made: %2.")
                     .arg(folder, QString::fromLocal8Bit(std::strerror(err)));
    return false;
}

void ConversionJob::endAsCancel()
{
    m_out.SetConvertEnabled(true);
    m_out.SetToolbarEnabled(true);
    m_out.SetJobRunning(false);
}

ConversionJob::Outcome ConversionJob::fail(const QString& text)
{
    m_failure = text;
    if (!text.isEmpty())
        m_out.showMessage(kVelunor, text, MessageIcon::Critical);
    abandonWork();
    return Outcome::Failed;
}

void ConversionJob::abandonWork()
{
    m_area.RemoveFolders([this] { yield(); });
    m_out.SetBarValue(0);
    m_out.SetCaption(QString());
    endAsCancel();
}

void ConversionJob::showProgress(const QString& caption, int i)
{
    const int p = Percent(i, m_in.EntryCount());
    if (p < 0)
        return;
    m_out.SetBarValue(p);
    m_out.SetCaption(caption + QString::number(p) + QLatin1Char('%'));
}

ConversionJob::Outcome ConversionJob::Run()
{
    if (s_running)
        return Outcome::Busy;
    RunningFlag flag;
    m_outputPath.clear();
    m_failure.clear();
    return runSteps();
}

ConversionJob::Outcome ConversionJob::runSteps()
{
    if (m_in.EntryCount() <= 0) {
        m_out.showMessage(QStringLiteral("Add File"), QStringLiteral("Please add a file"), MessageIcon::Exclamation);
        m_out.FocusSweep();
        return Outcome::EmptyList;
    }

    m_out.SetConvertEnabled(false);
    m_out.SetToolbarEnabled(false);
    m_out.SetJobRunning(true);

    trimOutputFolder();

    // Before anything is created: a title that cannot name a file would
    // write a hidden file, write outside the output folder, or fail late.
    const QString titleProblem = TitleProblem(m_in.Title());
    if (!titleProblem.isEmpty()) {
        m_out.showMessage(kVelunor, titleProblem, MessageIcon::Exclamation);
        endAsCancel();
        return Outcome::BadTitle;
    }

    QString confirmed;
    {
        const QString target = outputPathNow();
        // Told now, not after every page has been made.
        const QString placeProblem = OutputPlacement::Problem(target);
        if (!placeProblem.isEmpty())
            return fail(placeProblem);
        // A symbolic link, even a dangling one, is an entry of that name.
        if (OutputPlacement::EntryAt(target) != OutputPlacement::Entry::None) {
            if (!m_out.askOkCancel(QStringLiteral("Overwrite"), QStringLiteral("The output filename exists, overwrite?"))) {
                endAsCancel();
                return Outcome::Cancelled;
            }
            confirmed = target;
        }
    }

    QString error;
    const bool foldersMade = makeOutputFolder(&error) && m_area.CreateFolders(&error);
    // The settings file is replaced by every job that got this far.
    writeSettings();
    if (!foldersMade)
        return fail(error);
    const WorkFolders work = m_area.Folders();

    ToolkitSteps steps(m_runner, work);
    DocumentInfo info{m_in.Title(), m_in.Author(), m_in.CreationDate(), m_in.Subject(), m_in.Keywords()};
    if (!steps.WriteInfoFile(info, &error))
        return fail(error.isEmpty() ? QStringLiteral("The document information file %1 could not be written.").arg(work.infoFile())
                                    : error);
    // Found out now rather than after every page has been made.
    const QString missingTool = ToolkitSteps::MissingTool();
    if (!missingTool.isEmpty())
        return fail(QStringLiteral("The PDF toolkit %1 was found neither in %2 nor on the PATH. "
                                   "Please install it (Debian package \"%1\").")
                        .arg(missingTool, AppPaths::ProgramFolder()));

    m_out.SetCaption(kPreparing);
    m_out.SetBarRange(0, 100);

    PageMaker maker(work, m_out, [this] { yield(); }, m_owner);
    maker.BeginJob();
    const int n = m_in.EntryCount();
    for (int i = 0; i < n; ++i) {
        const QString entry = m_in.Entry(i);
        const PageResult page = maker.MakePage(i, entry, m_in.Quality());
        if (page.status == PageResult::PdfError)
            return fail(QString()); // the "PDF" message has been shown
        if (page.status == PageResult::PictureError)
            return fail(page.message.isEmpty() ? QStringLiteral("The picture %1 could not be read.").arg(entry) : page.message);
        if (!QFileInfo(work.pageFile(i)).isFile())
            return fail(QStringLiteral("The page for the picture %1 could not be written.").arg(entry));
        showProgress(kPreparing, i);
        yield();
    }

    m_out.SetBarValue(100);
    ToolkitSteps::EndStrayRuns();
    m_out.SetCaption(QStringLiteral("Now Start Creating..."));

    QFile::remove(work.chainFile(1));
    if (!QFile::copy(work.pageFile(0), work.chainFile(1))) {
        QFile::remove(work.chainFile(1));
        return fail(ToolkitSteps::NoRoomFor(work.tmpDir, QFileInfo(work.pageFile(0)).size())
                        ? workDiskFull(work.tmpDir, QStringLiteral("copy the first page"))
                        : QStringLiteral("The work file %1 could not be written.").arg(work.chainFile(1)));
    }

    for (int i = 1; i < n; ++i) {
        const ToolkitRunResult r = steps.RunJoin(i);
        if (!r.started)
            return fail(QString()); // the command runner has told the user
        if (!r.ok)
            return fail(toolkitFailure(QStringLiteral("add page %1 (%2)").arg(i + 1).arg(m_in.Entry(i)), r, work.tmpDir));
        showProgress(kCreating, i);
        yield();
    }

    {
        const ToolkitRunResult r = steps.RunInfo(m_in.EntryCount());
        if (!r.started)
            return fail(QString());
        if (!r.ok)
            return fail(toolkitFailure(QStringLiteral("write the document information"), r, work.tmpDir));
        // The last chain file is done with: its room goes to the pass below.
        QFile::remove(work.chainFile(n));
        if (!DocumentInfoPass::Run(work.finishedFile(), &error))
            return fail(error);
    }
    QString problem;
    if (!CheckDocument(work.finishedFile(), n, info, &problem))
        return fail(problem);

    trimOutputFolder();
    const QString target = outputPathNow();
    // The title may have been edited while the job ran.
    const QString lateProblem = TitleProblem(m_in.Title());
    if (!lateProblem.isEmpty())
        return fail(lateProblem);
    const bool exists = OutputPlacement::EntryAt(target) != OutputPlacement::Entry::None;
    if (target != confirmed && exists
        && !m_out.askOkCancel(QStringLiteral("Overwrite"), QStringLiteral("The output filename exists, overwrite?"))) {
        abandonWork();
        return Outcome::Cancelled;
    }
    // Replaces the entry only when the copy has been read back whole from
    // the output disk; otherwise the earlier document stays as it was.
    OutputPlacement placement(work.tmpDir);
    const auto readBack = [&](const QString& path, QString* why) { return CheckDocument(path, n, info, why); };
    if (!placement.Place(work.finishedFile(), target, exists || target == confirmed, readBack, &error))
        return fail(error);

    m_out.SetBarValue(0);
    m_out.SetCaption(QStringLiteral("Removing Temporary Files..."));
    m_area.RemoveFolders([this] { yield(); });
    m_outputPath = target;
    m_out.SetCaption(QStringLiteral("Done."));
    m_out.SetConvertEnabled(true);
    m_out.SetJobRunning(false);
    m_out.OpenFolder(m_in.OutputFolder());
    m_out.Beep();
    m_out.SetToolbarEnabled(true);
    m_out.FocusSweep();
    return Outcome::Done;
}
