#pragma once
// A page maker on private work folders, for tests that make single pages.
#include "RecordingMessageSink.h"
#include "engine/job/PageMaker.h"
#include "engine/job/WorkFolders.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

class PageMakerFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(QDir().mkpath(folders.tmpDir));
        ASSERT_TRUE(QDir().mkpath(folders.pageDir));
        maker.BeginJob();
    }
    QString pic(const QString& name) const { return dir.filePath(name); }

    QTemporaryDir dir;
    WorkFolders folders{dir.filePath("tmpvelunor"), dir.filePath("jpgtmp")};
    RecordingMessageSink sink;
    PageMaker maker{folders, sink, [] {}};
};
