#pragma once
#include "engine/ToolkitSteps.h"
#include "platform/EventPump.h"

#include <QString>
#include <QtGlobal>

class DOSOutputs;
class JobInputs;
class JobOutputs;
class JobWorkArea;

// What "Convert To PDF Now" does: every list entry becomes one page, the
// toolkit joins the pages and writes the document information, and the
// result lands in the output folder as title + ".pdf". Inputs are read at the
// moment of use; everything the user sees goes through JobOutputs. The
// window program, velunor-convert and the tests all run this same job.
class ConversionJob {
public:
    enum class Outcome {
        Busy,      // a job was already running in this program; nothing done
        EmptyList, // "Please add a file"
        BadTitle,  // the title cannot name a file; nothing created
        Cancelled, // the overwrite question was not answered OK
        Failed,    // a message said what failed; no document written
        Done,
    };

    ConversionJob(JobInputs& inputs, JobOutputs& outputs, DOSOutputs& runner, JobWorkArea& workArea);

    // velunor-convert leaves the window's settings file alone.
    void SetWriteSettings(bool write) { m_writeSettings = write; }
    // Default: AppPaths::SettingsFilePath(), taken when the job writes it.
    void SetSettingsPath(const QString& path) { m_settingsPath = path; }
    void SetOwnerWindow(quintptr owner) { m_owner = owner; }

    Outcome Run();

    // True while a job runs anywhere in this program (only one at a time:
    // the event loop runs during a job, so a second start could come in).
    static bool IsRunning();

    // After Done: the document's path. After Failed: the text shown (empty
    // when the drawing library or the command runner already spoke).
    QString OutputPath() const { return m_outputPath; }
    QString FailureText() const { return m_failure; }

    // floor(i / (n - 1) x 100) in double precision; -1 when n < 2.
    static int Percent(int i, int n);
    // Why a title cannot name the output file, in user words; empty if fine.
    static QString TitleProblem(const QString& title);
    // Whether pdf opens as a PDF of `pages` pages carrying the information
    // entries; otherwise *problem says what is wrong.
    static bool CheckDocument(const QString& pdf, int pages, const DocumentInfo& info, QString* problem);

private:
    Outcome runSteps();
    Outcome fail(const QString& text);
    void endAsCancel();
    // After work has begun: the work folders go, bar and caption are cleared.
    void abandonWork();
    // Bar and caption (caption + "NN%") after entry i of the list.
    void showProgress(const QString& caption, int i);
    void trimOutputFolder();
    QString outputPathNow() const;
    void writeSettings();
    bool makeOutputFolder(QString* error) const;
    void yield();

    JobInputs& m_in;
    JobOutputs& m_out;
    DOSOutputs& m_runner;
    JobWorkArea& m_area;
    bool m_writeSettings = true;
    QString m_settingsPath;
    quintptr m_owner = 0;
    QString m_outputPath;
    QString m_failure;
};
