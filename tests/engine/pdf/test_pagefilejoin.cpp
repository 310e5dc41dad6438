// The pages of one multi-page picture put together into its page file.
#include "PictureCheck.h"

#include "engine/pdf/PageFileJoin.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// A one-page PDF whose page is `width` points wide.
void onePage(const QString& path, int width)
{
    QPDF pdf;
    pdf.emptyPDF();
    QPDFObjectHandle page = QPDFObjectHandle::parse("<< /Type /Page /MediaBox [0 0 " + std::to_string(width) + " 10] >>");
    QPDFPageDocumentHelper(pdf).addPage(QPDFPageObjectHelper(pdf.makeIndirectObject(page)), false);
    const QByteArray name = QFile::encodeName(path); // the writer keeps the pointer
    QPDFWriter w(pdf, name.constData());
    w.write();
}

std::vector<int> widths(const QString& path)
{
    QPDF pdf;
    pdf.processFile(QFile::encodeName(path).constData());
    std::vector<int> out;
    for (auto& page : QPDFPageDocumentHelper(pdf).getAllPages())
        out.push_back(page.getMediaBox().getArrayItem(2).getIntValueAsInt());
    return out;
}

} // namespace

TEST(PageFileJoin, PagesComeInOrderAlsoWhenJoinedInGroupsAndAFailureLeavesNothing)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // More than one group's worth, so groups are joined and then joined again.
    QStringList parts;
    std::vector<int> expected;
    for (int k = 1; k <= 300; ++k) {
        parts << dir.filePath(QString("0.page%1.pdf").arg(k));
        onePage(parts.last(), k);
        expected.push_back(k);
    }
    const QString out = dir.filePath("0.pdf");
    QString error;
    ASSERT_TRUE(PageFileJoin::Join(parts, out, &error)) << error.toStdString();
    EXPECT_EQ(testsupport::qpdfProblems(out), "");
    EXPECT_EQ(widths(out), expected);
    EXPECT_EQ(QDir(dir.path()).entryList({"*.group*", "*.part"}, QDir::Files), QStringList());

    // A part that cannot be read: false, named, no page file left behind.
    parts[150] = dir.filePath("missing.pdf");
    EXPECT_FALSE(PageFileJoin::Join(parts, out, &error));
    EXPECT_TRUE(error.contains(out)) << error.toStdString();
    EXPECT_FALSE(QFile::exists(out));
    EXPECT_EQ(QDir(dir.path()).entryList({"*.group*", "*.part"}, QDir::Files), QStringList());
}
