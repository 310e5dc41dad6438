#include "engine/pdf/TextLayer.h"

#include "platform/QuotedPath.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>
#include <qpdf/QUtil.hh>

#include <QFile>

#include <algorithm>
#include <array>
#include <vector>

namespace {

using Matrix = std::array<double, 6>; // a b c d e f

// m x n: m applied first, as PDF's cm (CTM' = M x CTM).
Matrix times(const Matrix& m, const Matrix& n)
{
    return {m[0] * n[0] + m[1] * n[2],        m[0] * n[1] + m[1] * n[3],        m[2] * n[0] + m[3] * n[2],
            m[2] * n[1] + m[3] * n[3],        m[4] * n[0] + m[5] * n[2] + n[4], m[4] * n[1] + m[5] * n[3] + n[5]};
}

// Follows q, Q and cm through the content and keeps the matrix in force at
// the first Do of an image XObject.
class ImagePlace final : public QPDFObjectHandle::ParserCallbacks {
public:
    explicit ImagePlace(QPDFObjectHandle xobjects) : m_xobjects(std::move(xobjects)) {}

    void handleObject(QPDFObjectHandle obj) override
    {
        if (!obj.isOperator()) {
            m_operands.push_back(obj);
            return;
        }
        const std::string op = obj.getOperatorValue();
        if (op == "q") {
            m_stack.push_back(m_ctm);
        } else if (op == "Q") {
            if (!m_stack.empty()) {
                m_ctm = m_stack.back();
                m_stack.pop_back();
            }
        } else if (op == "cm" && m_operands.size() == 6) {
            Matrix m;
            bool numeric = true;
            for (size_t k = 0; k < 6; ++k) {
                numeric = numeric && m_operands[k].isNumber();
                m[k] = numeric ? m_operands[k].getNumericValue() : 0;
            }
            if (numeric)
                m_ctm = times(m, m_ctm);
        } else if (op == "Do" && !found && m_operands.size() == 1 && m_operands[0].isName() && m_xobjects.isDictionary()) {
            QPDFObjectHandle x = m_xobjects.getKey(m_operands[0].getName());
            if (x.isStream() && x.getDict().getKey("/Subtype").isNameAndEquals("/Image")) {
                found = true;
                place = m_ctm;
            }
        }
        m_operands.clear();
    }
    void handleEOF() override {}

    bool found = false;
    Matrix place{};

private:
    QPDFObjectHandle m_xobjects;
    std::vector<QPDFObjectHandle> m_operands;
    Matrix m_ctm{1, 0, 0, 1, 0, 0};
    std::vector<Matrix> m_stack;
};

QPDFObjectHandle firstPage(QPDF& pdf)
{
    const auto pages = QPDFPageDocumentHelper(pdf).getAllPages();
    if (pages.empty())
        throw std::runtime_error("it holds no page");
    return pages.front().getObjectHandle();
}

std::string number(double v) { return QUtil::double_to_string(v, 4, true); }

} // namespace

bool TextLayer::PictureRect(const QString& pageFile, QRectF* rect, QString* error)
{
    try {
        QPDF pdf;
        pdf.processFile(QFile::encodeName(pageFile).constData());
        QPDFObjectHandle page = firstPage(pdf);
        ImagePlace seen(page.getKey("/Resources").getKey("/XObject"));
        QPDFPageObjectHelper(page).parseContents(&seen);
        if (!seen.found) {
            *error = QString("the page %1 shows no picture").arg(QuotedPath(pageFile));
            return false;
        }
        // The unit square's corners; a turned picture still covers a
        // rectangle whose sides run along the page's.
        double x0 = 1e300, y0 = 1e300, x1 = -1e300, y1 = -1e300;
        const Matrix& m = seen.place;
        for (const auto& [u, v] : {std::pair{0., 0.}, {1., 0.}, {0., 1.}, {1., 1.}}) {
            const double x = u * m[0] + v * m[2] + m[4], y = u * m[1] + v * m[3] + m[5];
            x0 = std::min(x0, x);
            y0 = std::min(y0, y);
            x1 = std::max(x1, x);
            y1 = std::max(y1, y);
        }
        *rect = QRectF(x0, y0, x1 - x0, y1 - y0);
        return !rect->isEmpty() || (*error = QString("the picture on the page %1 has no area").arg(QuotedPath(pageFile)),
                                    false);
    } catch (const std::exception& e) {
        *error = QString("the page %1 could not be read: %2").arg(QuotedPath(pageFile), e.what());
        return false;
    }
}

bool TextLayer::Overlay(const QString& pageFile, const QString& textPdf, const QRectF& rect, int turn, QString* error)
{
    const QString partial = pageFile + ".part";
    try {
        QPDF text;
        text.processFile(QFile::encodeName(textPdf).constData());
        QPDFPageObjectHelper textPage(firstPage(text));
        const QPDFObjectHandle::Rectangle box = textPage.getMediaBox().getArrayAsRectangle();
        const double bw = box.urx - box.llx, bh = box.ury - box.lly;
        if (!(bw > 0 && bh > 0))
            throw std::runtime_error("the text page has no area");

        QPDF pdf;
        pdf.processFile(QFile::encodeName(pageFile).constData());
        QPDFObjectHandle page = firstPage(pdf);
        QPDFObjectHandle form = pdf.copyForeignObject(textPage.getFormXObjectForPage());

        QPDFObjectHandle resources = page.getKey("/Resources");
        if (!resources.isDictionary()) {
            resources = QPDFObjectHandle::newDictionary();
            page.replaceKey("/Resources", resources);
        }
        if (!resources.getKey("/XObject").isDictionary())
            resources.replaceKey("/XObject", QPDFObjectHandle::newDictionary());
        QPDFObjectHandle xobjects = resources.getKey("/XObject");
        std::string name = "/Text1";
        for (int k = 2; xobjects.hasKey(name); ++k)
            name = "/Text" + std::to_string(k);
        xobjects.replaceKey(name, form);

        // The text page's box onto the picture's rectangle, turned back
        // against the page's turn: (s, t), the place on the upright text
        // page as a share of its sides, lies where the turned page shows it.
        const double x = rect.left(), y = rect.y(), w = rect.width(), h = rect.height();
        Matrix m; // from the unit square of (s, t)
        switch (turn) {
        case 90: m = {0, h, -w, 0, x + w, y}; break;
        case 180: m = {-w, 0, 0, -h, x + w, y + h}; break;
        case 270: m = {0, -h, w, 0, x, y + h}; break;
        default: m = {w, 0, 0, h, x, y}; break;
        }
        m = times({1 / bw, 0, 0, 1 / bh, -box.llx / bw, -box.lly / bh}, m);
        std::string draw = "q";
        for (double v : m) {
            draw += ' ';
            draw += number(v);
        }
        draw += " cm " + name + " Do Q\n";
        // Our pages carry no turn of their own: the picture's is in its matrix.
        if (turn != 0)
            page.replaceKey("/Rotate", QPDFObjectHandle::newInteger(turn));
        // Our content stays as it is; the form's is a stream of its own.
        QPDFPageObjectHelper(page).addPageContents(QPDFObjectHandle::newStream(&pdf, draw), false);

        QPDFWriter writer(pdf);
        const QByteArray partial8 = QFile::encodeName(partial);
        writer.setOutputFilename(partial8.constData());
        // Streams already coded (the picture) are copied as they are.
        writer.setDecodeLevel(qpdf_dl_none);
        writer.setCompressStreams(true);
        writer.setObjectStreamMode(qpdf_o_generate);
        writer.write();
    } catch (const std::exception& e) {
        QFile::remove(partial);
        *error = QString("the text could not be laid over the page %1: %2").arg(QuotedPath(pageFile), e.what());
        return false;
    }
    QFile::remove(pageFile);
    if (!QFile::rename(partial, pageFile)) {
        QFile::remove(partial);
        *error = QString("the page %1 with its text could not be put in place").arg(QuotedPath(pageFile));
        return false;
    }
    return true;
}
