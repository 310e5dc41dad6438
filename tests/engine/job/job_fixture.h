#pragma once
#include "TestSupport.h"
#include "engine/job/ConversionJob.h"
#include "engine/job/JobWorkArea.h"
#include "platform/DOSOutputs.h"
#include "test_job_support.h"

#include <FreeImage.h>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// A job on a temporary root (pictures, output, cache and settings folders),
// with a recording observer in place of the window.
class JobTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        QDir().mkpath(root + "/pics");
        QDir().mkpath(root + "/out");
        io.outputFolder = root + "/out";
        job.SetSettingsPath(settings);
    }

    // A picture of w x h pixels; its page is w/200 by h/200 inches.
    QString picture(const QString& name, int w, int h)
    {
        const QString path = root + "/pics/" + name;
        EXPECT_TRUE(testsupport::writeTestPicture(path, FIF_PNG, w, h));
        return path;
    }
    QString output() const { return root + "/out/" + io.title + ".pdf"; }
    bool workFoldersGone() const
    {
        const WorkFolders f = area.Folders();
        return !QFileInfo::exists(f.tmpDir) && !QFileInfo::exists(f.pageDir);
    }
    // A job that had started ends by saying how, and names no document.
    void expectStartedAndEndedAs(ConversionJob::Outcome outcome) const
    {
        ASSERT_FALSE(io.events.isEmpty());
        EXPECT_EQ(io.events.first(), "started");
        EXPECT_EQ(io.events.last(), QString("finished:%1:").arg(int(outcome)));
        EXPECT_EQ(io.events.filter("finished:").size(), 1);
    }

    QTemporaryDir tmp;
    QString root = tmp.path();
    QString settings = root + "/config/setting.dll";
    RecordingJobIo io;
    JobWorkArea area{root + "/cache"};
    DOSOutputs runner{io};
    ConversionJob job{io, io, runner, area, io.yielder()};
};
