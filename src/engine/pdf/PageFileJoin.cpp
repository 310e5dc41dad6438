#include "engine/pdf/PageFileJoin.h"

#include "platform/QuotedPath.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <QFile>

#include <memory>
#include <vector>

namespace {
// Each source file stays open until the joined file is written; a TIFF of
// thousands of pages is joined in groups, so the open files stay few.
constexpr int kOpenAtOnce = 128;
} // namespace

bool PageFileJoin::Join(const QStringList& parts, const QString& out, QString* error)
{
    QFile::remove(out); // an earlier file of that name must not stand in for this one
    if (parts.size() > kOpenAtOnce) {
        QStringList groups;
        bool ok = true;
        for (qsizetype at = 0; ok && at < parts.size(); at += kOpenAtOnce) {
            groups << out + QStringLiteral(".group%1").arg(groups.size() + 1);
            ok = Join(parts.mid(at, kOpenAtOnce), groups.last(), error);
        }
        ok = ok && Join(groups, out, error);
        for (const QString& group : groups)
            QFile::remove(group);
        return ok;
    }
    const QString partial = out + QStringLiteral(".part");
    const QByteArray partial8 = QFile::encodeName(partial);
    try {
        QPDF joined;
        joined.emptyPDF();
        QPDFPageDocumentHelper pages(joined);
        std::vector<std::unique_ptr<QPDF>> sources;
        for (const QString& part : parts) {
            auto source = std::make_unique<QPDF>();
            source->processFile(QFile::encodeName(part).constData());
            for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(*source).getAllPages())
                pages.addPage(page, false);
            sources.push_back(std::move(source));
        }
        QPDFWriter writer(joined, partial8.constData());
        writer.setStreamDataMode(qpdf_s_preserve);
        writer.setObjectStreamMode(qpdf_o_generate);
        writer.write();
    } catch (const std::exception& e) {
        QFile::remove(partial);
        *error = QStringLiteral("the pages could not be put together in %1 (%2)")
                     .arg(QuotedPath(out), QString::fromLocal8Bit(e.what()));
        return false;
    }
    if (!QFile::rename(partial, out)) {
        QFile::remove(partial);
        *error = QStringLiteral("the pages could not be put in place as %1").arg(QuotedPath(out));
        return false;
    }
    return true;
}
