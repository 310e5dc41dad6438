#include "engine/job/ConversionJob.h"

#include "engine/job/JobInputs.h"
#include "engine/job/JobWorkArea.h"
#include "engine/job/OutputChecks.h"
#include "engine/job/OutputPlacement.h"
#include "engine/job/PageMaker.h"
#include "engine/job/SettingsFile.h"
#include "engine/job/TextReading.h"
#include "engine/pdf/PdfDate.h"
#include "platform/AppPaths.h"
#include "platform/DOSOutputs.h"
#include "platform/HelperChild.h"
#include "platform/ProgramName.h"
#include "platform/SignalHold.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>

namespace {
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

// The page maker tells through a MessageSink (the drawing library's "PDF"
// message); here that is the job's observer. It asks nothing, so a question
// from it is declined.
class ObserverSink final : public MessageSink {
public:
    explicit ObserverSink(JobObserver& observer) : m_observer(observer) {}
    void showMessage(const QString& title, const QString& text, MessageIcon icon) override
    {
        m_observer.Tell(title, text, icon);
    }
    bool askOkCancel(const QString&, const QString&) override { return false; }

private:
    JobObserver& m_observer;
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

ConversionJob::ConversionJob(JobInputs& inputs, JobObserver& observer, DOSOutputs& runner, JobWorkArea& workArea,
                             YieldFunction yield)
    : m_in(inputs), m_observer(observer), m_runner(runner), m_area(workArea), m_yield(std::move(yield))
{
}

void ConversionJob::EndAbruptly(DOSOutputs& runner, std::unique_ptr<JobWorkArea>& workArea)
{
    HelperChild::EndAll(HelperChild::Reap::Now);
    runner.EndRuns();
    workArea.reset();
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

QString ConversionJob::wordsFile(const WorkFolders& work)
{
    return work.tmpDir + QStringLiteral("/words.txt");
}

void ConversionJob::trimOutputFolder()
{
    QString folder = m_in.Settings().outputFolder;
    // The root stays "/": without its "/" it would read as no folder at all.
    if (folder.endsWith(QLatin1Char('/')) && folder != QLatin1String("/")) {
        folder.chop(1);
        m_in.SetOutputFolder(folder);
    }
}

QString ConversionJob::outputPathNow() const
{
    const JobSettings now = m_in.Settings();
    const QString& folder = now.outputFolder;
    return folder + (folder == QLatin1String("/") ? QString() : QStringLiteral("/")) + now.title + QStringLiteral(".pdf");
}

bool ConversionJob::mayReplace(const QString& target, const QString& confirmed, bool* exists)
{
    // A symbolic link, even a dangling one, is an entry of that name.
    *exists = OutputPlacement::EntryAt(target) != OutputPlacement::Entry::None;
    return !*exists || target == confirmed || m_observer.ConfirmOverwrite(target);
}

void ConversionJob::writeSettings(const JobSettings& settings)
{
    if (!m_writeSettings)
        return;
    SettingsValues v;
    v.title = settings.title;
    v.author = settings.author;
    v.subject = settings.subject;
    v.keywords = settings.keywords;
    v.quality = QString::number(settings.quality);
    v.outputFolder = settings.outputFolder;
    // A settings file that cannot be written does not stop the job.
    SettingsFile::Write(m_settingsPath.isEmpty() ? AppPaths::SettingsFilePath() : m_settingsPath, v);
}

void ConversionJob::RequestStop()
{
    if (!s_running || m_stop)
        return;
    m_stop = true;
    // The job waits in one of these; ended, it comes back to its next step.
    m_runner.EndRuns();
    HelperChild::EndAll(HelperChild::Reap::ByOwner);
}

ConversionJob::Outcome ConversionJob::halt()
{
    abandonWork();
    progress(QStringLiteral("Stopped."), 0);
    return Outcome::Stopped;
}

ConversionJob::Outcome ConversionJob::fail(const QString& text)
{
    m_failure = text;
    if (!text.isEmpty())
        m_observer.Tell(ProgramName, text, MessageIcon::Critical);
    abandonWork();
    return Outcome::Failed;
}

void ConversionJob::abandonWork()
{
    m_area.RemoveFolders(m_yield);
    progress(QString(), 0);
}

void ConversionJob::progress(const QString& caption, int percent)
{
    m_caption = caption;
    m_observer.Progress(caption, percent);
}

bool ConversionJob::finishReading(TextReading& reading, int* read, int pages, QString* error)
{
    if (reading.Pending() < 0)
        return true;
    // Pages are handed and finished in order, so the oldest one waiting is
    // the one after those read. Said only while a page is read; the designed
    // caption comes back after.
    m_observer.Progress(QStringLiteral("Reading Text %1 of %2...").arg(*read + 1).arg(pages), -1);
    if (!reading.Finish(error))
        return false;
    ++*read;
    return true;
}

bool ConversionJob::finishAllReading(TextReading& reading, int* read, int pages, QString* error)
{
    while (reading.Pending() >= 0)
        if (!finishReading(reading, read, pages, error))
            return false;
    return true;
}

void ConversionJob::showProgress(const QString& caption, int i)
{
    const int p = Percent(i, m_in.EntryCount());
    if (p < 0)
        return;
    progress(caption + QString::number(p) + QLatin1Char('%'), p);
}

ConversionJob::Outcome ConversionJob::Run()
{
    if (s_running)
        return Outcome::Busy;
    RunningFlag flag;
    m_outputPath.clear();
    m_failure.clear();
    m_placed = false;
    m_stop = false;
    m_caption.clear();
    const Outcome outcome = runSteps();
    m_observer.Making(-1);
    m_observer.Finished(outcome, m_outputPath);
    return outcome;
}

ConversionJob::Outcome ConversionJob::runSteps()
{
    if (m_in.EntryCount() <= 0) {
        m_observer.Tell(QStringLiteral("Add File"), QStringLiteral("Please add a file"), MessageIcon::Exclamation);
        return Outcome::EmptyList;
    }

    m_observer.Started();

    trimOutputFolder();

    // Before anything is created: a title that cannot name a file would
    // write a hidden file, write outside the output folder, or fail late.
    const QString titleProblem = OutputChecks::TitleProblem(m_in.Settings().title);
    if (!titleProblem.isEmpty()) {
        m_observer.Tell(ProgramName, titleProblem, MessageIcon::Exclamation);
        return Outcome::BadTitle;
    }

    // A layout that cannot hold a picture is told before anything is made.
    const QString layoutProblem = m_in.Settings().page.Problem();
    if (!layoutProblem.isEmpty()) {
        QString text = layoutProblem;
        text[0] = text[0].toUpper();
        return fail(text + ".");
    }
    QString layoutWarning = m_in.Settings().page.Warning();
    if (layoutWarning.isEmpty())
        layoutWarning = OutputChecks::SmallPictures(m_in, m_in.Settings().page, m_yield);
    if (!layoutWarning.isEmpty() && !m_observer.GoOnDespite(layoutWarning))
        return Outcome::Cancelled;

    // An archive document's dates are read by its information and its XMP
    // alike: one that is no date would make it fail its rules.
    const bool archive = m_in.Settings().pdfa;
    if (archive && !IsPdfDate(m_in.Settings().creationDate))
        return fail(QStringLiteral("The creation date \"%1\" is not a PDF date such as D:20240131154500+01'00, "
                                   "which a PDF/A document needs. Please press \"Now\" or correct it.")
                        .arg(m_in.Settings().creationDate));

    QString confirmed;
    {
        const QString target = outputPathNow();
        // Told now, not after every page has been made.
        const QString placeProblem = OutputPlacement::Problem(target);
        if (!placeProblem.isEmpty())
            return fail(placeProblem);
        bool exists = false;
        if (!mayReplace(target, QString(), &exists))
            return Outcome::Cancelled;
        if (exists)
            confirmed = target;
    }

    QString error;
    const JobSettings settings = m_in.Settings();
    const bool foldersMade = OutputChecks::MakeOutputFolder(settings.outputFolder, &error) && m_area.CreateFolders(&error);
    // The settings file is replaced by every job that got this far.
    writeSettings(settings);
    if (!foldersMade)
        return fail(error);
    // Its folder may be the output folder, just made.
    const QString sidecar = settings.sidecar;
    if (!sidecar.isEmpty()) {
        const QString problem = OutputChecks::SidecarProblem(sidecar, outputPathNow(), !settings.ocrLanguages.isEmpty());
        if (!problem.isEmpty())
            return fail(problem);
    }
    const WorkFolders work = m_area.Folders();
    const QString shownTmp = m_area.NamedFolders().tmpDir; // as the user knows it

    ToolkitSteps steps(m_runner, work, m_toolFolder);
    DocumentInfo info{settings.title, settings.author, settings.creationDate, settings.subject, settings.keywords};
    if (!steps.WriteInfoFile(info, &error))
        return fail(error.isEmpty() ? QStringLiteral("The document information file %1 could not be written.").arg(work.infoFile())
                                    : error);
    // Found out now rather than after every page has been made.
    const QString missingTool = ToolkitSteps::MissingTool();
    if (!missingTool.isEmpty())
        return fail(QStringLiteral("The %1 program %2 is missing; the installation is incomplete.")
                        .arg(missingTool == ToolkitSteps::InfoTool ? QStringLiteral("information step's")
                                                                   : QStringLiteral("join step's"),
                             AppPaths::HelperProgram(missingTool)));

    // Searchable pages: what they need is checked before any page is made.
    std::unique_ptr<TextReading> reading;
    if (!settings.ocrLanguages.isEmpty()) {
        reading = std::make_unique<TextReading>(work, settings.ocrLanguages, m_yield, m_ocrOptions,
                                                settings.page.rotatePages);
        if (!sidecar.isEmpty())
            reading->SetWordsFile(wordsFile(work));
        const QString problem = reading->Problem();
        if (!problem.isEmpty())
            return fail(problem);
    }

    progress(kPreparing, -1);

    ObserverSink sink(m_observer);
    PageMaker maker(work, sink, m_yield);
    maker.BeginJob();
    maker.SetArchive(archive);
    // A page still being read ends before the work folders go.
    const auto stop = [&](const QString& text) {
        reading.reset();
        return m_stop ? halt() : fail(text);
    };
    const int n = m_in.EntryCount();
    QString entry;
    // Pages are counted for the reading caption: every page of a
    // multi-page picture is one of them.
    int pages = 0, read = 0;
    if (reading) {
        for (int i = 0; i < n; ++i)
            pages += PageMaker::PageCount(m_in.Entry(i));
        // Each page is read while the next ones are made (the next pages
        // of a multi-page picture, or the next entries'), two at once; every
        // page of a multi-page picture is read before they are put together.
        PageMaker::PageHook hook;
        hook.made = [&](int i, const QString& pageFile, QString* why) {
            return (reading->Free() || finishReading(*reading, &read, pages, why)) &&
                   reading->Start(i, pageFile, entry, why);
        };
        hook.settle = [&](QString* why) { return finishAllReading(*reading, &read, pages, why); };
        maker.SetPageHook(hook);
    }
    // Pages made: an entry gives several when it is a multi-page TIFF.
    int made = 0;
    for (int i = 0; i < n; ++i) {
        entry = m_in.Entry(i);
        m_observer.Making(i);
        // The quality and the page layout are read for every page: the
        // slider and the Page menu stay live.
        const JobSettings now = m_in.Settings();
        // The next entry's picture is decoded while this page is made.
        const PageResult page = maker.MakePage(i, entry, now.quality, now.page, i + 1 < n ? m_in.Entry(i + 1) : QString());
        if (m_stop)
            return stop(QString());
        if (page.status == PageResult::PdfError)
            return stop(QString()); // the "PDF" message has been shown
        if (page.status == PageResult::PictureError)
            m_observer.PictureFailed(i);
        if (page.status == PageResult::PictureError)
            return stop(page.message.isEmpty() ? QStringLiteral("The picture %1 could not be read.").arg(entry) : page.message);
        if (!QFileInfo(work.pageFile(i)).isFile())
            return stop(QStringLiteral("The page for the picture %1 could not be written.").arg(entry));
        made += page.pages;
        showProgress(kPreparing, i);
        m_yield();
    }
    if (m_stop || (reading && !finishAllReading(*reading, &read, pages, &error)))
        return stop(error);
    reading.reset();

    // The bar fills under the caption it has, then the joins begin.
    progress(m_caption, 100);
    ToolkitSteps::EndStrayRuns();
    progress(QStringLiteral("Now Start Creating..."), -1);

    QFile::remove(work.chainFile(1));
    // A copy, not a second name: the joins append to the chain file in place.
    if (!QFile::copy(work.pageFile(0), work.chainFile(1))) {
        QFile::remove(work.chainFile(1));
        return fail(ToolkitSteps::NoRoomFor(work.tmpDir, QFileInfo(work.pageFile(0)).size())
                        ? workDiskFull(shownTmp, QStringLiteral("copy the first page"))
                        : QStringLiteral("The work file %1 could not be written.").arg(work.chainFile(1)));
    }

    for (int i = 1; i < n; ++i) {
        m_observer.Making(i);
        const ToolkitRunResult r = steps.RunJoin(i);
        if (m_stop)
            return halt();
        if (!r.started)
            return fail(QString()); // the command runner has told the user
        if (!r.ok)
            return fail(toolkitFailure(QStringLiteral("add page %1 (%2)").arg(i + 1).arg(m_in.Entry(i)), r, shownTmp));
        showProgress(kCreating, i);
        m_yield();
    }

    {
        const ToolkitRunResult r = steps.RunInfo(m_in.EntryCount(), archive);
        if (m_stop)
            return halt();
        if (!r.started)
            return fail(QString());
        if (!r.ok)
            return fail(toolkitFailure(QStringLiteral("write the document information"), r, shownTmp));
        QFile::remove(work.chainFile(n));
    }

    trimOutputFolder();
    const QString target = outputPathNow();
    // The title may have been edited while the job ran.
    const QString lateProblem = OutputChecks::TitleProblem(m_in.Settings().title);
    if (!lateProblem.isEmpty())
        return fail(lateProblem);
    // A title or folder edited to name another existing file is asked again.
    bool exists = false;
    if (!mayReplace(target, confirmed, &exists)) {
        abandonWork();
        return Outcome::Cancelled;
    }
    // Replaces the entry only when the copy has been read back whole from
    // the output disk; otherwise the earlier document stays as it was. That
    // read is the document's one check: pages and information alike.
    // From here to the end of the job the signals that end a program wait:
    // a stop heard after the document is in place would report a failure
    // for a document that was replaced.
    if (m_stop)
        return halt();
    const SignalHold hold;
    OutputPlacement placement(work.tmpDir);
    const auto readBack = [&](const QString& path, QString* why) { return OutputChecks::CheckDocument(path, made, info, why); };
    const auto placeDocument = [&](QString* why) {
        m_placed = placement.Place(work.finishedFile(), target, exists || target == confirmed, readBack, why);
        return m_placed;
    };
    // The words go in place together with the document: written whole
    // beside their place first, linked in only once the document is.
    OutputPlacement words(work.pageDir, QStringLiteral("text file"));
    if (sidecar.isEmpty() ? !placeDocument(&error) : !words.Place(wordsFile(work), sidecar, true, {}, &error, placeDocument))
        return fail(m_placed ? error + QStringLiteral(" The document %1 itself was written.").arg(target) : error);

    progress(QStringLiteral("Removing Temporary Files..."), 0);
    m_area.RemoveFolders(m_yield);
    m_outputPath = target;
    progress(QStringLiteral("Done."), -1);
    return Outcome::Done;
}
