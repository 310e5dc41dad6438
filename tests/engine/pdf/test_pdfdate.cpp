#include "ScopedEnv.h"
#include "engine/pdf/PdfDate.h"

#include <QDateTime>
#include <gtest/gtest.h>

namespace {
using TimeZone = testsupport::ScopedTimeZone;

QDateTime local(int y, int mo, int d, int h, int mi, int s)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::LocalTime);
}
} // namespace

TEST(PdfDate, LocalDigitsAndTheOffsetOfThatMoment)
{
    {
        TimeZone tz("Europe/Berlin");
        EXPECT_EQ(PdfDateString(local(2024, 1, 31, 15, 45, 0)), "D:20240131154500+01'00");
        EXPECT_EQ(PdfDateString(local(2024, 7, 1, 9, 5, 7)), "D:20240701090507+02'00"); // summer time
    }
    {
        TimeZone tz("America/New_York");
        EXPECT_EQ(PdfDateString(local(2024, 1, 2, 3, 4, 5)), "D:20240102030405-05'00");
    }
    {
        TimeZone tz("Asia/Kolkata");
        EXPECT_EQ(PdfDateString(local(2024, 12, 31, 23, 59, 59)), "D:20241231235959+05'30");
    }
    {
        TimeZone tz("UTC");
        EXPECT_EQ(PdfDateString(local(2000, 2, 29, 0, 0, 0)), "D:20000229000000+00'00");
        // A moment given in another zone is written in local time.
        EXPECT_EQ(PdfDateString(QDateTime(QDate(2024, 1, 31), QTime(12, 0), Qt::OffsetFromUTC, 3600)),
                  "D:20240131110000+00'00");
    }
}

TEST(PdfDate, NowHasTheFixedLength)
{
    const QString now = PdfDateString();
    EXPECT_EQ(now.size(), 22);
    EXPECT_TRUE(now.startsWith("D:"));
    EXPECT_EQ(now.mid(19, 1), "'");
}
