#pragma once
#include "engine/job/JobObserver.h"
#include "engine/job/JobSettings.h"
#include "engine/job/OcrProcess.h"
#include "engine/job/ToolkitSteps.h"
#include "platform/EventPump.h"

#include <QString>

#include <memory>

class DOSOutputs;
class JobInputs;
class JobWorkArea;
class TextReading;

// What "Convert To PDF Now" does: every list entry becomes one page, the
// toolkit joins the pages and writes the document information, and the
// result lands in the output folder as title + ".pdf". Inputs are read at the
// moment of use; everything the user sees goes through the JobObserver. The
// window program, velunor-convert and the tests all run this same job. It
// lets pending events run (`yield`) after every page and every toolkit run.
class ConversionJob {
public:
    using Outcome = JobOutcome;

    ConversionJob(JobInputs& inputs, JobObserver& observer, DOSOutputs& runner, JobWorkArea& workArea,
                  YieldFunction yield = YieldEvents);

    // velunor-convert leaves the window's settings file alone.
    void SetWriteSettings(bool write) { m_writeSettings = write; }
    // Default: AppPaths::SettingsFilePath(), taken when the job writes it.
    void SetSettingsPath(const QString& path) { m_settingsPath = path; }

    // The text reader's program and limits, for searchable pages.
    void SetOcrOptions(const OcrProcess::Options& options) { m_ocrOptions = options; }
    // The folder of the toolkit's programs; empty: where they are installed.
    void SetToolFolder(const QString& folder) { m_toolFolder = folder; }

    Outcome Run();

    // Asked from an event pass of the running job (the window's Stop): its
    // toolkit run and helpers end now, and the job ends at its next step as
    // Stopped, with its work folders gone and any earlier document as it
    // was. Once the document is being put in place it finishes instead.
    void RequestStop();

    // For a program that ends in the middle of a job (a signal, the
    // window's Exit): its helper programs and toolkit runs are ended and
    // reaped first, then the work folders go, with nothing left writing
    // into them.
    static void EndAbruptly(DOSOutputs& runner, std::unique_ptr<JobWorkArea>& workArea);

    // True while a job runs anywhere in this program (only one at a time:
    // the event loop runs during a job, so a second start could come in).
    static bool IsRunning();

    // After Done: the document's path. After Failed: the text shown (empty
    // when the drawing library or the command runner already spoke).
    QString OutputPath() const { return m_outputPath; }
    QString FailureText() const { return m_failure; }
    // True once this run's document has replaced the entry in the output
    // folder (the job then reports Done, whatever comes after).
    bool DocumentPlaced() const { return m_placed; }

    // floor(i / (n - 1) x 100) in double precision; -1 when n < 2.
    static int Percent(int i, int n);

private:
    static QString wordsFile(const WorkFolders& work);
    Outcome runSteps();
    Outcome fail(const QString& text);
    // The end of a stopped job: caption "Stopped.".
    Outcome halt();
    // After work has begun: the work folders go, bar and caption are cleared.
    void abandonWork();
    // Tells the observer; the caption is kept for a bar that moves alone.
    void progress(const QString& caption, int percent);
    // Bar and caption (caption + "NN%") after entry i of the list.
    void showProgress(const QString& caption, int i);
    // Waits for the oldest page being read (its caption meanwhile: *read + 1
    // of `pages`) and lays its text over it; the second, for every page being read.
    bool finishReading(TextReading& reading, int* read, int pages, QString* error);
    bool finishAllReading(TextReading& reading, int* read, int pages, QString* error);
    void trimOutputFolder();
    QString outputPathNow() const;
    // False when the user declined to replace an existing `target`; true
    // when there is none, or it was `confirmed` already, or OK was given.
    // *exists tells whether an entry is there.
    bool mayReplace(const QString& target, const QString& confirmed, bool* exists);
    void writeSettings(const JobSettings& settings);

    JobInputs& m_in;
    JobObserver& m_observer;
    DOSOutputs& m_runner;
    JobWorkArea& m_area;
    YieldFunction m_yield;
    bool m_writeSettings = true;
    QString m_settingsPath;
    QString m_toolFolder;
    OcrProcess::Options m_ocrOptions = OcrProcess::Defaults();
    QString m_caption;
    QString m_outputPath;
    QString m_failure;
    bool m_placed = false;
    bool m_stop = false;
};
