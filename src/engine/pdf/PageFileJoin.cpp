#include "engine/pdf/PageFileJoin.h"

#include "platform/QuotedPath.h"

#ifndef POINTERHOLDER_TRANSITION
#define POINTERHOLDER_TRANSITION 4
#endif
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <QFile>

#include <memory>
#include <vector>

bool PageFileJoin::Join(const QStringList& parts, const QString& out, QString* error)
{
    const QString partial = out + QStringLiteral(".part");
    const QByteArray partial8 = QFile::encodeName(partial);
    QFile::remove(out);
    try {
        QPDF joined;
        joined.emptyPDF();
        QPDFPageDocumentHelper pages(joined);
        // Each source stays open until the joined file is written: its
        // streams are read from it then.
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
