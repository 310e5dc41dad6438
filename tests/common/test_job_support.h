#pragma once
#include "engine/job/JobInputs.h"
#include "engine/job/JobObserver.h"
#include "platform/EventPump.h"
#include "platform/MessageSink.h"

#include <QRegularExpression>
#include <QStringList>
#include <functional>

// The program's side of a job, recorded: every input is a plain field the
// test can change at any moment (also from onYield, in the middle of a job),
// everything the job tells becomes one line in `events`. It is the command
// runner's MessageSink too, as in velunor-convert.
class RecordingJobIo : public JobInputs, public JobObserver, public MessageSink {
public:
    QStringList entries;
    QString title = "New PDF Document";
    QString author = "Velunor";
    QString subject = "New Subject";
    QString keywords;
    QString creationDate = "D:20240131154500+01'00";
    QString outputFolder;
    int quality = 85;
    PageLayout page;
    QString ocrLanguages; // searchable pages when set
    bool pdfa = false;
    bool answerOk = true;
    std::function<void()> onYield;

    QStringList events;
    QStringList captions;
    int yields = 0;

    // What the job takes as its event pass.
    YieldFunction yielder()
    {
        return [this] {
            ++yields;
            if (onYield)
                onYield();
        };
    }

    int EntryCount() const override { return int(entries.size()); }
    QString Entry(int i) const override { return entries.value(i); }
    JobSettings Settings() const override
    {
        return JobSettings{title, author, subject, keywords, creationDate, outputFolder, quality, page, ocrLanguages, pdfa, {}};
    }
    void SetOutputFolder(const QString& f) override
    {
        outputFolder = f;
        events << "folder:" + f;
    }

    void Started() override { events << "started"; }
    void Progress(const QString& c, int percent) override
    {
        if (percent >= 0)
            events << QString("bar:%1").arg(percent);
        // As a label shows it: the same text again is no change.
        if (!captions.isEmpty() && captions.last() == c)
            return;
        captions << c;
        events << "caption:" + c;
    }
    void Tell(const QString& t, const QString& text, MessageIcon icon) override
    {
        events << QString("message:%1:%2:%3").arg(t).arg(int(icon)).arg(text);
    }
    bool ConfirmOverwrite(const QString& target) override
    {
        events << QString("question:%1").arg(target);
        return answerOk;
    }
    void Finished(JobOutcome outcome, const QString& document) override
    {
        events << QString("finished:%1:%2").arg(int(outcome)).arg(document);
    }

    void showMessage(const QString& t, const QString& text, MessageIcon icon) override { Tell(t, text, icon); }
    bool askOkCancel(const QString& t, const QString& text) override
    {
        events << QString("question:%1:%2").arg(t, text);
        return answerOk;
    }

    QStringList messages() const { return events.filter(QRegularExpression("^message:")); }
};
