// The check made when pictures are added: the header only, no decoder.
#include "TestSupport.h"

#include "engine/picture/HeaderCheck.h"

#include <FreeImage.h>
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

QByteArray pngHeader(quint32 w, quint32 h)
{
    QByteArray b("\x89PNG\r\n\x1a\n\0\0\0\x0DIHDR", 16);
    for (quint32 v : {w, h})
        for (int shift : {24, 16, 8, 0})
            b += char(v >> shift & 0xFF);
    return b + QByteArray(9, '\0');
}

TEST(HeaderCheckTest, FindsWhatCertainlyFailsAndPassesTheRest)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString d = dir.path();
    ASSERT_TRUE(writeTestPicture(d + "/photo.jpg", FIF_JPEG, 40, 30));
    ASSERT_TRUE(writeTestPicture(d + "/named.jpg", FIF_PNG, 40, 30)); // the content decides
    ASSERT_TRUE(writeTestPicture(d + "/scan.tif", FIF_TIFF, 40, 30));
    ASSERT_TRUE(writeFile(d + "/text.png", "hello, world"));
    ASSERT_TRUE(writeFile(d + "/empty.gif", ""));
    ASSERT_TRUE(writeFile(d + "/huge.png", pngHeader(30000, 30000)));
    ASSERT_TRUE(writeFile(d + "/zero.png", pngHeader(0, 10)));
    ASSERT_TRUE(writeFile(d + "/old.tga", QByteArray("\0\0\2\0\0\0\0\0\0\0\0\0\2\0\2\0\x18\0", 18) + QByteArray(12, 'x')));
    ASSERT_TRUE(QDir().mkpath(d + "/folder.jpg"));
    const struct {
        const char* file;
        const char* problem; // "" when it passes
    } rows[] = {{"photo.jpg", ""},
                {"named.jpg", ""},
                {"scan.tif", ""},
                {"old.tga", ""},
                {"text.png", "its content is not a kind of picture Velunor reads"},
                {"empty.gif", "the file is empty"},
                {"huge.png", "30,000 x 30,000 pixels, larger than the limit"},
                {"zero.png", "size of 0 x 10 pixels"},
                {"folder.jpg", "it is a folder"},
                {"missing.jpg", "the file does not exist"}};
    for (const auto& r : rows) {
        const QString problem = HeaderCheck::Problem(d + "/" + r.file);
        EXPECT_EQ(problem.isEmpty(), QString(r.problem).isEmpty()) << r.file << ": " << problem.toStdString();
        EXPECT_TRUE(problem.contains(r.problem)) << r.file << ": " << problem.toStdString();
    }
}

} // namespace
