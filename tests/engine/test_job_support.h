#pragma once
#include "engine/JobInputs.h"
#include "engine/JobOutputs.h"

#include <QRegularExpression>
#include <QStringList>
#include <functional>

// The window's side of a job, recorded: every input is a plain field the
// test can change at any moment (also from onYield, in the middle of a job),
// every output becomes one line in `events`.
class RecordingJobIo : public JobInputs, public JobOutputs {
public:
    QStringList entries;
    QString title = "New PDF Document";
    QString author = "Velunor";
    QString subject = "New Subject";
    QString keywords;
    QString creationDate = "D:20240131154500+01'00";
    QString outputFolder;
    int quality = 85;
    bool answerOk = true;
    std::function<void()> onYield;

    QStringList events;
    QStringList captions;
    int yields = 0;

    int EntryCount() const override { return int(entries.size()); }
    QString Entry(int i) const override { return entries.value(i); }
    QString Title() const override { return title; }
    QString Author() const override { return author; }
    QString Subject() const override { return subject; }
    QString Keywords() const override { return keywords; }
    QString CreationDate() const override { return creationDate; }
    QString OutputFolder() const override { return outputFolder; }
    void SetOutputFolder(const QString& f) override
    {
        outputFolder = f;
        events << "folder:" + f;
    }
    int Quality() const override { return quality; }

    void showMessage(const QString& t, const QString& text, MessageIcon icon) override
    {
        events << QString("message:%1:%2:%3").arg(t).arg(int(icon)).arg(text);
    }
    bool askOkCancel(const QString& t, const QString& text) override
    {
        events << QString("question:%1:%2").arg(t, text);
        return answerOk;
    }
    void SetCaption(const QString& c) override
    {
        captions << c;
        events << "caption:" + c;
    }
    void SetBarRange(int lo, int hi) override { events << QString("range:%1-%2").arg(lo).arg(hi); }
    void SetBarValue(int v) override { events << QString("bar:%1").arg(v); }
    void SetConvertEnabled(bool e) override { events << QString("convert:%1").arg(e); }
    void SetToolbarEnabled(bool e) override { events << QString("toolbar:%1").arg(e); }
    void FocusSweep() override { events << "focus"; }
    void SetJobRunning(bool r) override { events << QString("running:%1").arg(r); }
    void OpenFolder(const QString& f) override { events << "open:" + f; }
    void Beep() override { events << "beep"; }
    void Yield() override
    {
        ++yields;
        if (onYield)
            onYield();
    }

    QStringList messages() const { return events.filter(QRegularExpression("^message:")); }
};
