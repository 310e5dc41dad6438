// Two files put in place together: the second is linked in only when the
// first one's placement, run just before, succeeded.
#include "TestSupport.h"
#include "engine/job/OutputPlacement.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace testsupport;

TEST(OutputPlacementTest, AFileGoesInPlaceOnlyWhenWhatRunsBeforeItsLinkSucceeds)
{
    QTemporaryDir tmp;
    const QString stage = tmp.filePath("stage"), out = tmp.filePath("out");
    ASSERT_TRUE(QDir().mkpath(stage) && QDir().mkpath(out));
    ASSERT_TRUE(writeFile(tmp.filePath("new.txt"), "new words") && writeFile(out + "/words.txt", "old words"));
    OutputPlacement words(stage, "text file");
    for (const bool before : {false, true}) {
        QString error;
        const bool placed = words.Place(tmp.filePath("new.txt"), out + "/words.txt", true, {}, &error, [&](QString* why) {
            if (!before)
                *why = "the document could not be written";
            return before;
        });
        EXPECT_EQ(placed, before);
        EXPECT_EQ(error, before ? QString() : "the document could not be written");
        EXPECT_EQ(readAll(out + "/words.txt"), before ? "new words" : "old words");
        EXPECT_EQ(QDir(out).entryList(QDir::Files | QDir::Hidden), QStringList{"words.txt"});
        EXPECT_TRUE(QDir(stage).isEmpty());
    }
}
