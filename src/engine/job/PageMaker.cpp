#include "engine/job/PageMaker.h"

#include "engine/picture/DecodeStep.h"
#include "engine/picture/JpegCoefficientCheck.h"
#include "engine/picture/FreeImageDiagnostics.h"
#include "engine/pdf/PdfCtl.h"
#include "engine/picture/PictureNames.h"
#include "engine/picture/PageStraightener.h"
#include "engine/picture/PictureLimits.h"
#include "engine/picture/PictureResolution.h"
#include "engine/picture/PictureTraits.h"
#include "engine/picture/TiffPages.h"
#include "engine/pdf/JpegPassThrough.h"
#include "engine/pdf/PageFileJoin.h"
#include "platform/ProgramName.h"
#include "platform/QuotedPath.h"

#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <future>

PageMaker::PageMaker(const WorkFolders& folders, MessageSink& sink, YieldFunction yield, DecoderProcess::Options decoder,
                     PdfLibrary& pdf)
    : m_folders(folders), m_sink(sink), m_pdf(pdf), m_yield(yield), m_decoder(std::move(yield), std::move(decoder)),
      m_ahead(m_decoder, m_folders)
{
    FreeImageDiagnostics::Install();
}

void PageMaker::BeginJob() { m_format = FIF_BMP; }

int PageMaker::FormatForExtension(const QString& entryPath, int current)
{
    return PictureNames::FormatForExtension(entryPath, current);
}

int PageMaker::PageCount(const QString& entryPath)
{
    if (!QFileInfo(entryPath).isFile()) // a pipe would wait for a writer
        return 1;
    QFile f(entryPath);
    if (!f.open(QIODevice::ReadOnly) || !TiffPages::IsTiff(f.peek(4)))
        return 1;
    // Our own reading of the directory chain, kept for the file's pages:
    // nothing is decoded here.
    return int(qMax<qsizetype>(1, TiffPages::Listed(entryPath).pages.size()));
}

int PageMaker::PageLength(int pixels) { return PageLayout::DesignedLength(pixels); }

qint64 PageMaker::MaxPixels() { return PictureLimits::MaxPixels(); }

bool PageMaker::check(int result) { return CheckPdfError(result, m_sink); }

void PageMaker::yieldOnce()
{
    if (m_yield)
        m_yield();
}

template <class Work>
auto PageMaker::aside(bool large, Work work)
{
    if (!large)
        return work();
    auto running = std::async(std::launch::async, std::move(work));
    while (running.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        yieldOnce();
    return running.get();
}

namespace {

// Pictures from 2 megapixels on are decoded and coded for tens of
// milliseconds or more (a 24-megapixel photo's page, about 200 ms).
bool largePicture(qint64 width, qint64 height) { return width * height >= 2000000; }

// A JPEG of 1 MB or more (most photos of 5 megapixels and up) takes tens of
// milliseconds to decode or check (a 24-megapixel one's check, about 40);
// a smaller one's check, about 12 ms at most.
bool largeJpeg(const QString& path) { return QFileInfo(path).size() >= (1 << 20); }

bool startsAsJpeg(const QString& path)
{
    if (!QFileInfo(path).isFile()) // a pipe would wait for a writer
        return false;
    QFile f(path);
    char head[3];
    return f.open(QIODevice::ReadOnly) && f.read(head, 3) == 3 && head[0] == '\xFF' && head[1] == '\xD8' &&
           head[2] == '\xFF';
}

} // namespace

bool PageMaker::writeTempBitmap(const QString& entryPath, int page, int* width, int* height, QString* error)
{
    // The decode step overwrites the previous entry's bitmap, or removes it
    // when this picture fails (here too, should the helper die).
    const QString temp = m_folders.tempBitmap();
    // FreeImage's decoders crash, hang or ask for gigabytes on some damaged
    // files (PSD, TIFF...): those run in the velunor-decode helper, so such a
    // file fails as a picture instead of ending or freezing the program.
    // JPEGs, the photos that make most pages, are decoded here: libjpeg
    // checks its input, their Exif reaches FreeImage no more, their size is
    // checked first, and the helper would cost a tenth of a photo's page.
    const bool ok = startsAsJpeg(entryPath)
        ? aside(largeJpeg(entryPath),
                [&] { return DecodeStep::WriteTempBitmap(entryPath, m_format, temp, width, height, error); })
        : m_decoder.Run(entryPath, m_format, temp, width, height, error, page);
    if (!ok) {
        QFile::remove(temp);
        PictureTraits::Remove(temp);
    }
    return ok;
}

// A native page takes the resolution the file states, read from the file
// itself (a kept JPEG has no temporary bitmap to carry it).
PictureResolution::Ppi PageMaker::nativePpi(const QString& entryPath, int page, int w, int h, const PageLayout& layout)
{
    return layout.IsNativeSize() ? PictureResolution::Stated(entryPath, page, w, h) : PictureResolution::Ppi();
}

bool PageMaker::keepJpeg(const QString& entryPath, int quality, const PageLayout& layout, int* width, int* height)
{
    // Text is read from the bitmap; a page straightened is coded anew.
    if (m_hook.made || layout.deskew || !startsAsJpeg(entryPath))
        return false;
    // A photo coded anew (the quality asked is below its own) is not read
    // any further.
    const auto wanted = [&](const PictureTraits& found, int w, int h) {
        return keepWanted(entryPath, found, w, h, quality, layout);
    };
    const PictureTraits traits = aside(largeJpeg(entryPath), [&] {
        return JpegCoefficientCheck::Check(entryPath, width, height, wanted);
    });
    if (traits.jpegSource.path.isEmpty())
        return false;
    const QString temp = m_folders.tempBitmap();
    QFile::remove(temp);
    return traits.Write(temp, *width, *height);
}

bool PageMaker::keepWanted(const QString& entryPath, const PictureTraits& traits, int width, int height, int quality,
                           const PageLayout& layout) const
{
    if (m_hook.made || layout.deskew || traits.jpegSource.path.isEmpty())
        return false;
    // As the drawing layer will ask: the designed page is never resampled.
    const PictureResolution::Ppi ppi = nativePpi(entryPath, 0, width, height, layout);
    const PagePlacement place = layout.Place(width, height, ppi.x, ppi.y);
    const bool resampled = !place.designed && place.codedWidth > 0 && place.codedHeight > 0
        && (place.codedWidth != width || place.codedHeight != height);
    return JpegPassThrough::Wanted(traits.jpegSource, {2, quality, resampled});
}

bool PageMaker::readPicture(const QString& entryPath, int page, int pages, int quality, const PageLayout& layout,
                            int* width, int* height, bool* kept, QString* error)
{
    *kept = false;
    const QString temp = m_folders.tempBitmap();
    const DecodeAhead::Result ahead = m_ahead.Take(entryPath, m_format, page);
    // Nothing was read ahead for this page (the first, or its entry was
    // edited meanwhile): a JPEG is read here, so the helper takes the next
    // picture at once and the two are read together. Any other picture
    // needs the helper itself first.
    const bool here = !ahead.matched && pages == 1 && startsAsJpeg(entryPath);
    if (here)
        startAhead(entryPath, page, pages, quality, layout);
    if (ahead.ok && !ahead.kept) {
        *width = ahead.width;
        *height = ahead.height;
    } else if (ahead.ok && keepWanted(entryPath, PictureTraits::ReadAlone(temp, width, height), *width, *height, quality,
                                      layout)) {
        // Checked by the helper while the page before was made, and kept
        // by this page with its quality and layout as they are now.
        *kept = true;
    } else if (ahead.matched && !ahead.ok && !startsAsJpeg(entryPath)) {
        *error = ahead.error;
        QFile::remove(temp);
        PictureTraits::Remove(temp);
        return false;
    } else {
        // A JPEG that the helper could not read is read here again, as
        // every JPEG is without a look-ahead: the same words, and no
        // helper's limit.
        PictureTraits::Remove(temp);
        *kept = pages == 1 && !ahead.kept && keepJpeg(entryPath, quality, layout, width, height);
        if (!*kept && !writeTempBitmap(entryPath, page, width, height, error))
            return false;
    }
    // A page kept from the helper's check leaves us next to nothing to do:
    // rather than wait for the helper to check the next JPEG, we check it
    // here ourselves while the helper takes the one after it.
    const bool alternate = ahead.kept && *kept && !layout.deskew && startsAsJpeg(m_next);
    if (!here && !alternate)
        startAhead(entryPath, page, pages, quality, layout);
    return true;
}

void PageMaker::startAhead(const QString& entryPath, int page, int pages, int quality, const PageLayout& layout)
{
    // Text is read from every bitmap as it is made: one page at a time.
    if (m_hook.made)
        return;
    const bool sameEntry = page + 1 < pages;
    const QString next = sameEntry ? entryPath : m_next;
    if (next.isEmpty())
        return;
    // A JPEG the page may keep as it is is only checked, as keepJpeg does.
    const bool mayKeep = !sameEntry && !layout.deskew && startsAsJpeg(next);
    m_ahead.Start(next, sameEntry ? m_format : FormatForExtension(next, m_format), sameEntry ? page + 1 : 0,
                  mayKeep ? quality : 0);
}

PageResult PageMaker::MakePage(int i, const QString& entryPath, int quality, const PageLayout& layout,
                               const QString& nextEntry)
{
    m_next = nextEntry;
    const QString pageFile = m_folders.pageFile(i);
    const int pages = PageCount(entryPath);
    auto tell = [&](PageResult r, const QString& file) {
        QString error;
        if (r.ok() && m_hook.made && !m_hook.made(i, file, &error)) {
            r.status = PageResult::PictureError;
            r.message = error;
        }
        return r;
    };
    // A file of more pages than any document is refused before its first
    // page is made: its pages alone would run for hours.
    if (pages > TiffPages::MaxPages()) {
        PageResult refused;
        refused.status = PageResult::PictureError;
        refused.message = QString("Cannot read the picture %1: %2.").arg(QuotedPath(entryPath), TiffPages::TooManyPagesText());
        return refused;
    }
    if (pages <= 1)
        return tell(makeOnePage(pageFile, entryPath, 0, 1, quality, layout), pageFile);
    // Each page of a multi-page TIFF is made as one page, then they are put
    // together, in order, as the entry's page file.
    QStringList parts;
    auto removeParts = [&parts]() {
        for (const QString& part : parts)
            QFile::remove(part);
    };
    QFile::remove(pageFile);
    PagePlacement first;
    for (int k = 0; k < pages; ++k) {
        parts << m_folders.pageDir + '/' + QString::number(i) + ".page" + QString::number(k + 1) + ".pdf";
        const PageResult one = tell(makeOnePage(parts.last(), entryPath, k, pages, quality, layout), parts.last());
        if (!one.ok()) {
            removeParts();
            return one;
        }
        if (k == 0)
            first = one.placement;
        if (k + 1 < pages)
            yieldOnce();
    }
    PageResult result;
    QString error;
    if (m_hook.settle && !m_hook.settle(&error)) {
        removeParts();
        result.status = PageResult::PictureError;
        result.message = error;
        return result;
    }
    if (!PageFileJoin::Join(parts, pageFile, &error)) {
        result.status = PageResult::PictureError;
        result.message = QString("Cannot make the pages of the picture %1: %2.").arg(QuotedPath(entryPath), error);
    }
    removeParts();
    result.pages = pages;
    result.placement = first;
    return result;
}

PageResult PageMaker::makeOnePage(const QString& pageFile, const QString& entryPath, int page, int pages, int quality,
                                  const PageLayout& layout)
{
    PageResult result;
    QFile::remove(pageFile); // a page left by an earlier run must not stand in for this one

    const int box = m_pdf.CreateBox(0, 0);
    if (!check(box)) {
        result.status = PageResult::PdfError;
        return result;
    }
    auto pdfFailed = [&]() {
        m_pdf.FreeBox(box);
        result.status = PageResult::PdfError;
        char buffer[256];
        m_pdf.GetErrorMsg(buffer, 255);
        result.message = QString::fromUtf8(buffer);
        return result;
    };

    if (!check(m_pdf.SetNumProp(box, PdfProp::PathCheck, 1)) || !check(m_pdf.SetStrProp(box, PdfProp::OutputFile, pageFile)) ||
        !check(m_pdf.SetNumProp(box, PdfProp::PathCheck, 0)))
        return pdfFailed();

    m_format = FormatForExtension(entryPath, m_format);

    QString reason;
    int w = 0, h = 0;
    bool kept = false;
    const bool read = readPicture(entryPath, page, pages, quality, layout, &w, &h, &kept, &reason);
    if (!read) {
        m_pdf.FreeBox(box);
        result.status = PageResult::PictureError;
        result.message = pages > 1 ? QString("Cannot read page %1 of %2 of the picture %3: %4.")
                                         .arg(page + 1)
                                         .arg(pages)
                                         .arg(QuotedPath(entryPath), reason)
                                   : QString("Cannot read the picture %1: %2.").arg(QuotedPath(entryPath), reason);
        return result;
    }
    yieldOnce();
    // The bitmap is measured as it is written: w x h are its pixels.
    double turned = 0;
    if (layout.deskew && !PageStraightener::Straighten(m_folders.tempBitmap(), w, h, &turned, &reason)) {
        m_pdf.FreeBox(box);
        result.status = PageResult::PictureError;
        result.message = QString("Cannot straighten the picture %1: %2.").arg(QuotedPath(entryPath), reason);
        return result;
    }
    yieldOnce();

    const PictureResolution::Ppi ppi = nativePpi(entryPath, page, w, h, layout);
    result.placement = layout.Place(w, h, ppi.x, ppi.y);
    const PagePlacement& place = result.placement;
    const QString tooLarge = PageLayout::PageProblem(place);
    if (!tooLarge.isEmpty()) {
        m_pdf.FreeBox(box);
        result.status = PageResult::PictureError;
        result.message = QString("Cannot make the page of the picture %1: %2.").arg(QuotedPath(entryPath), tooLarge);
        return result;
    }
    // The designed page keeps the designed calls, so it stays as it was to
    // the byte; paper needs finer steps than tenths of a millimetre.
    const int pageW = PageLength(int(w)), pageH = PageLength(int(h));
    if (m_archive) {
        const QString refusal = archiveRefusal(place.designed ? pageW * 72.0 / 254 : place.pageWidth,
                                               place.designed ? pageH * 72.0 / 254 : place.pageHeight, w, h);
        if (!refusal.isEmpty()) {
            m_pdf.FreeBox(box);
            result.status = PageResult::PictureError;
            result.message = QString("The picture %1 cannot go into a PDF/A document: %2.").arg(QuotedPath(entryPath), refusal);
            return result;
        }
    }
    if (!check(m_pdf.SetStrProp(box, PdfProp::Creator, ProgramName)))
        return pdfFailed();
    if (place.designed) {
        if (!check(m_pdf.SetNumProp(box, PdfProp::PageWidth, pageW)) || !check(m_pdf.SetNumProp(box, PdfProp::PageHeight, pageH)))
            return pdfFailed();
    } else if (!check(m_pdf.SetPageSizePoints(box, place.pageWidth, place.pageHeight))) {
        return pdfFailed();
    }
    if (!check(m_pdf.SetNumProp(box, PdfProp::PictureCompression, 2)) ||
        !check(m_pdf.SetNumProp(box, PdfProp::JpegQuality, quality)) ||
        !check(m_pdf.SetNumProp(box, PdfProp::DocumentCompression, 2)) || !check(m_pdf.SetNumProp(box, PdfProp::Placement, 2)))
        return pdfFailed();

    const QString bitmap = m_folders.tempBitmap();
    // The drawing layer codes and writes a large page aside; its words, if
    // any, are told here.
    const bool large = largePicture(w, h);
    if (!check(m_pdf.BeginDoc(box)) || !check(aside(large, [&] {
            return place.designed ? m_pdf.StretchDrawFromFile(box, 0, 0, pageW, pageH, bitmap)
                                  : m_pdf.DrawPlacedFromFile(box, place, bitmap);
        })) ||
        !check(aside(large, [&] { return m_pdf.EndDoc(box); })))
        return pdfFailed();
    m_pdf.FreeBox(box);
    return result;
}

QString PageMaker::archiveRefusal(double pageWidth, double pageHeight, int width, int height) const
{
    if (PictureTraits::Read(m_folders.tempBitmap(), width, height).unprofiledCmyk)
        return QStringLiteral("its colours are CMYK without an ICC profile that says what they are, so they would be a "
                              "guess; embed the picture's colour profile, or convert it to RGB");
    // The smallest page PDF/A allows.
    if (pageWidth < 3 || pageHeight < 3)
        return QStringLiteral("its page would be %1 x %2 points, and a PDF/A page is at least 3 points (about 1 mm) "
                              "on each side; choose a paper size")
            .arg(pageWidth, 0, 'f', 2)
            .arg(pageHeight, 0, 'f', 2);
    return {};
}
