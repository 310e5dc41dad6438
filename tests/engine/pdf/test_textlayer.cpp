#include "TestSupport.h"
#include "engine/pdf/TextLayer.h"
#include "platform/AppPaths.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <QFile>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <unistd.h>

using namespace testsupport;

namespace {

// An A4 page whose picture is drawn through `content` (the picture is /Im1),
// as a page with margins or a turned picture draws it.
void writePage(const QString& path, const std::string& content)
{
    QPDF pdf;
    pdf.emptyPDF();
    QPDFObjectHandle image = QPDFObjectHandle::newStream(&pdf, std::string(8 * 4, '\x80'));
    image.replaceDict(QPDFObjectHandle::parse("<< /Type /XObject /Subtype /Image /Width 8 /Height 4 "
                                              "/ColorSpace /DeviceGray /BitsPerComponent 8 >>"));
    QPDFObjectHandle page = pdf.makeIndirectObject(QPDFObjectHandle::parse(
        "<< /Type /Page /MediaBox [0 0 595 842] /Resources << /XObject << >> >> >>"));
    page.getKey("/Resources").getKey("/XObject").replaceKey("/Im1", image);
    page.replaceKey("/Contents", QPDFObjectHandle::newStream(&pdf, content));
    QPDFPageDocumentHelper(pdf).addPage(QPDFPageObjectHelper(page), false);
    const QByteArray path8 = QFile::encodeName(path); // the writer keeps the pointer
    QPDFWriter w(pdf, path8.constData());
    w.write();
}

QByteArray rawImage(const QString& pdf)
{
    const QRegularExpressionMatch m =
        QRegularExpression("/Im1: (\\d+) 0 R").match(runProgram("qpdf", {"--show-pages", "--with-images", pdf}).out);
    QProcess p;
    p.start("qpdf", {"--show-object=" + m.captured(1), "--raw-stream-data", pdf});
    p.waitForFinished(60000);
    return p.readAllStandardOutput();
}

} // namespace

// Wherever and however the picture is drawn (margins, a nested matrix, a
// quarter turn), the text page is stretched over the rectangle it covers,
// and the picture's stream stays as it was.
TEST(TextLayer, TextLiesOverThePictureWhereverItIsDrawn)
{
    QTemporaryDir tmp;
    const QString root = tmp.path();
    // The text page: the reader's own on a picture of one line of text,
    // black on white across its middle.
    QImage words(1200, 400, QImage::Format_Grayscale8);
    words.fill(Qt::white);
    QFont font("DejaVu Sans");
    font.setPixelSize(90);
    QPainter painter(&words);
    painter.setFont(font);
    painter.drawText(QRect(0, 0, 1200, 400), Qt::AlignCenter, "Harbour Lights");
    painter.end();
    ASSERT_TRUE(words.save(root + "/words.bmp"));
    const ProcessResult read = runProgram(AppPaths::HelperProgram("velunor-ocr"),
                                          {"--parent", QString::number(::getpid()), "--memory-limit", "0", "--data",
                                           "/usr/share/tesseract-ocr/5/tessdata", "--languages", "eng",
                                           root + "/words.bmp", root + "/text"});
    ASSERT_EQ(read.exitCode, 0) << qPrintable(read.out + read.err);

    const struct {
        const char* content;
        QRectF rect; // points, lower left corner
    } cases[] = {
        {"q 300 0 0 100 40 50 cm /Im1 Do Q", {40, 50, 300, 100}},
        {"q 1 0 0 1 100 200 cm q 0.5 0 0 0.5 0 0 cm q 600 0 0 200 20 40 cm /Im1 Do Q Q Q", {110, 220, 300, 100}},
        {"q 0 300 -100 0 340 50 cm /Im1 Do Q", {240, 50, 100, 300}},
    };
    for (const auto& c : cases) {
        const QString page = root + "/page.pdf";
        writePage(page, c.content);
        const QByteArray image = rawImage(page);
        QRectF rect;
        QString error;
        ASSERT_TRUE(TextLayer::PictureRect(page, &rect, &error)) << qPrintable(error);
        for (const auto& [got, want] : {std::pair{rect.topLeft(), c.rect.topLeft()}, {rect.bottomRight(), c.rect.bottomRight()}})
            EXPECT_TRUE(std::abs(got.x() - want.x()) < 0.01 && std::abs(got.y() - want.y()) < 0.01)
                << c.content << ": " << got.x() << ", " << got.y();
        ASSERT_TRUE(TextLayer::Overlay(page, root + "/text.pdf", rect, 0, &error)) << qPrintable(error);

        EXPECT_EQ(runProgram("qpdf", {"--check", page}).exitCode, 0);
        EXPECT_EQ(rawImage(page), image) << c.content;
        const QString boxes = runProgram("pdftotext", {"-bbox", page, "-"}).out;
        const auto m = QRegularExpression("<word xMin=\"([0-9.]+)\" yMin=\"([0-9.]+)\" xMax=\"([0-9.]+)\" "
                                          "yMax=\"([0-9.]+)\">Harbour</word>").match(boxes);
        ASSERT_TRUE(m.hasMatch()) << qPrintable(boxes);
        // pdftotext measures from the top; the word sits left of the middle.
        const double x = (m.captured(1).toDouble() + m.captured(3).toDouble()) / 2;
        const double y = 842 - (m.captured(2).toDouble() + m.captured(4).toDouble()) / 2;
        EXPECT_GT(x, c.rect.left()) << c.content;
        EXPECT_LT(x, c.rect.center().x()) << c.content;
        EXPECT_NEAR(y, c.rect.center().y(), c.rect.height() / 6) << c.content;
    }
}
