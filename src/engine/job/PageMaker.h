#pragma once
#include "engine/job/DecodeAhead.h"
#include "engine/picture/DecoderProcess.h"
#include "engine/picture/PictureResolution.h"
#include "engine/pdf/PageLayout.h"
#include "engine/pdf/PdfCtl.h"
#include "engine/job/WorkFolders.h"
#include "platform/EventPump.h"

#include <QString>
#include <functional>
#include <QtGlobal>

class MessageSink;
class PictureTraits;

// Outcome of one page. PictureError: the picture could not be read (message
// names the file and the reason; nothing was shown yet). PdfError: the
// drawing library failed and CheckPdfError has already shown its "PDF" box.
struct PageResult {
    enum Status { Ok, PictureError, PdfError };
    Status status = Ok;
    QString message;
    // Where the picture went on its page (whether it was resampled, too),
    // once the picture was read; the first page's for a multi-page TIFF.
    PagePlacement placement;
    int pages = 1; // pages made: every page of a multi-page TIFF
    bool ok() const { return status == Ok; }
};

// Turns one picture into the one-page PDF WorkFolders::pageFile(i), through
// the temporary bitmap: at 200 pixels per inch by the designed calls, or
// laid out on paper as a PageLayout says. A multi-page TIFF gives a page
// file holding each of its pages in order: the list entry stays one page
// file, joined once.
class PageMaker {
public:
    PageMaker(const WorkFolders& folders, MessageSink& sink, YieldFunction yield = YieldEvents,
              DecoderProcess::Options decoder = DecoderProcess::Defaults(), PdfLibrary& pdf = PdfLibrary::Default());

    // A job starts with format identifier 0 (BMP); it carries over between
    // pages when an extension is not in the table.
    void BeginJob();
    // Pages for a PDF/A document: a picture whose colours or size such a
    // document cannot hold is refused, with the reason.
    void SetArchive(bool archive) { m_archive = archive; }
    // `nextEntry`, when given, is the picture of the page after this one:
    // the decoding helper decodes it while this page is drawn and written.
    PageResult MakePage(int i, const QString& entryPath, int quality, const PageLayout& layout = PageLayout(),
                        const QString& nextEntry = QString());

    // Told of every one-page file as soon as it is made, while its
    // temporary bitmap is still the page's (searchable pages read it), and
    // asked to settle before the pages of a multi-page picture are put
    // together. A false answer fails the entry with its *error.
    struct PageHook {
        std::function<bool(int i, const QString& pageFile, QString* error)> made;
        std::function<bool(QString* error)> settle;
    };
    void SetPageHook(PageHook hook) { m_hook = std::move(hook); }

    // Extension table lookup (PictureNames): FREE_IMAGE_FORMAT number, or
    // `current` when the extension is not in the table.
    static int FormatForExtension(const QString& entryPath, int current);
    // Pages the picture gives: those of a multi-page TIFF, 1 for any other.
    static int PageCount(const QString& entryPath);
    // Pixels at 200 per inch to tenths of a millimetre, halves to even.
    static int PageLength(int pixels);
    // Largest picture accepted, in pixels (width x height).
    static qint64 MaxPixels();

private:
    // Page `page` of the entry into the one-page PDF `pageFile`.
    PageResult makeOnePage(const QString& pageFile, const QString& entryPath, int page, int pages, int quality,
                           const PageLayout& layout);
    // Decodes the entry (its page `page`) and writes the temporary bitmap;
    // its size, or false with *error.
    bool writeTempBitmap(const QString& entryPath, int page, int* width, int* height, QString* error);
    // A JPEG the page takes as it is, checked without its pixels: its
    // traits go beside where the bitmap would be, and no bitmap is written.
    // False when the page needs the bitmap after all.
    bool keepJpeg(const QString& entryPath, int quality, const PageLayout& layout, int* width, int* height);
    // Whether the page takes the JPEG checked (its traits) as it is.
    bool keepWanted(const QString& entryPath, const PictureTraits& traits, int width, int height, int quality,
                    const PageLayout& layout) const;
    // The page's picture: its temporary bitmap, or for a JPEG kept its
    // traits alone (*kept). Taken from the look-ahead when that has it, and
    // the next picture is handed to the helper, to be read meanwhile.
    bool readPicture(const QString& entryPath, int page, int pages, int quality, const PageLayout& layout, int* width,
                     int* height, bool* kept, QString* error);
    // Hands the helper the picture of the page after page `page` of the
    // entry (a later page of it, or the next entry's first).
    void startAhead(const QString& entryPath, int page, int pages, int quality, const PageLayout& layout);
    static PictureResolution::Ppi nativePpi(const QString& entryPath, int page, int w, int h, const PageLayout& layout);
    bool check(int result);
    // Why the page of a w x h picture, pageWidth x pageHeight points, cannot
    // be in a PDF/A document; empty if it can.
    QString archiveRefusal(double pageWidth, double pageHeight, int width, int height) const;
    void yieldOnce();
    // `work()`, on a thread of its own with an event pass every 10 ms while
    // it runs when `large`, else here: a page's designed event passes stay
    // exactly as they are for work short enough not to need more.
    template <class Work>
    auto aside(bool large, Work work);

    WorkFolders m_folders;
    MessageSink& m_sink;
    PdfLibrary& m_pdf;
    YieldFunction m_yield;
    int m_format = 0;
    DecoderProcess m_decoder;
    DecodeAhead m_ahead;
    QString m_next;
    PageHook m_hook;
    bool m_archive = false;
};
