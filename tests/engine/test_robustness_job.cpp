// The job with output folders a user may well choose.
#include "test_job_support.h"

#include "TestSupport.h"
#include "engine/ConversionJob.h"
#include "engine/JobWorkArea.h"
#include "platform/DOSOutputs.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <unistd.h>

using namespace testsupport;

TEST(RobustJob, RootFolderStaysTheRootAndIsNotTakenForNoFolder)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    // A picture that cannot be read stops the job before anything is
    // written into "/" itself.
    const QString bad = tmp.filePath("broken.png");
    ASSERT_TRUE(writeFile(bad, "not a picture"));
    RecordingJobIo io;
    io.entries = {bad};
    io.outputFolder = "/";
    JobWorkArea area(tmp.filePath("cache"));
    DOSOutputs runner(io);
    ConversionJob job(io, io, runner, area);
    job.SetWriteSettings(false);

    EXPECT_EQ(job.Run(), ConversionJob::Outcome::Failed);
    EXPECT_EQ(io.outputFolder, "/");
    EXPECT_FALSE(io.events.contains("folder:"));
    ASSERT_EQ(io.messages().size(), 1) << io.events.join('\n').toStdString();
    // Only root may write into "/"; anyone else is told so about "/" itself.
    const QString expected = ::geteuid() == 0 ? bad : QString("The output folder / cannot be written");
    EXPECT_TRUE(io.messages()[0].contains(expected)) << io.messages()[0].toStdString();
}
