// What the temporary bitmap cannot carry rides in its side file, which a
// job writes again page after page: a side file emptied or cut short must
// read as no traits at all, never as another picture's.
#include "engine/picture/PictureTraits.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>

TEST(PictureTraits, EmptiedOrCutShortSideFilesSayNothing)
{
    QTemporaryDir dir;
    const QString bitmap = dir.filePath("tmp.bmp"); // a kept JPEG's page: no bitmap
    PictureTraits kept;
    kept.jpegSource = {"/photos/a.jpg", 1234, 42u, 90, 6};
    const struct {
        const char* name;
        std::function<void()> spoil;
    } rows[] = {
        {"removed", [&] { PictureTraits::Remove(bitmap); }},
        {"nothing to say", [&] { ASSERT_TRUE(PictureTraits().Write(bitmap, 30, 20)); }},
        {"cut short", [&] {
             QFile side(PictureTraits::SideFile(bitmap));
             ASSERT_TRUE(side.resize(side.size() - 5));
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(kept.Write(bitmap, 30, 20)); // over what the row before left
        int w = 0, h = 0;
        ASSERT_EQ(PictureTraits::ReadAlone(bitmap, &w, &h).jpegSource.path, "/photos/a.jpg");
        EXPECT_EQ(w * 100 + h, 3020);
        row.spoil();
        EXPECT_TRUE(PictureTraits::ReadAlone(bitmap, &w, &h).jpegSource.path.isEmpty());
        EXPECT_TRUE(PictureTraits::Read(bitmap, 30, 20).jpegSource.path.isEmpty());
    }
}
