#pragma once
#include <QString>
#include <QtGlobal>

class MessageSink;
struct PagePlacement;

// The properties a box takes, by number.
namespace PdfProp {
enum Number : int {
    OutputFile = 10, // the file to write
    Creator = 14, // the document's Creator
    // 0 lossless (Flate) for every picture, 1 JPEG for every picture, 2 by
    // kind: lossless for bilevel pictures, for pictures of at most 256
    // colours and for those whose lossless image is smaller than their JPEG;
    // JPEG for the rest (photos). Default 2.
    PictureCompression = 31,
    PageHeight = 34,
    PageWidth = 36,
    // While 1, setting OutputFile checks at once that the file's folder
    // exists and is writable, so a bad path fails early. Default 0.
    PathCheck = 44,
    JpegQuality = 45, // 1..100, clamped
    // 0 none, 1 Flate for uncompressed streams, 2 Flate and object streams
    // (PDF 1.5, smallest). Default 2.
    DocumentCompression = 51,
    // 1 fit the picture into the rectangle keeping its proportions,
    // centred; 2 stretch it over the whole rectangle. Default 2.
    Placement = 52,
};
} // namespace PdfProp

// Our own PDF-drawing library: one box = one one-page document under
// construction. Every call returns -1 on failure, with GetErrorMsg telling why.
// Lengths are in tenths of a millimetre (254 to the inch).
//
// One thread at a time may use a box; calls on different boxes are safe.
// CreateBox's owner window is part of the designed call and is ignored: the
// library shows nothing itself (the page maker passes 0).
int CreateBox(quintptr ownerWindow, int reserved);
int SetNumProp(int box, int property, int value);
int SetStrProp(int box, int property, const QString& text);
int BeginDoc(int box);
int StretchDrawFromFile(int box, int left, int top, int width, int height, const QString& bitmapPath);
int EndDoc(int box);
int FreeBox(int box);
// Beside the designed eight, for pages on paper: the page size in points
// (instead of properties 36 and 34, which clear it again), and a picture
// drawn where a PagePlacement puts it, resampled to its coded size first.
int SetPageSizePoints(int box, double width, double height);
int DrawPlacedFromFile(int box, const PagePlacement& placement, const QString& bitmapPath);
// Copies the message of the last failure (NUL-terminated, at most size-1
// bytes of UTF-8) into buffer; returns its length.
int GetErrorMsg(char* buffer, int size);

// Nothing unless result is -1; then shows the library's message titled "PDF"
// with the critical icon and returns false so the caller can stop the job.
bool CheckPdfError(int result, MessageSink& sink);

// The entry points as one object. The page maker draws through one: the
// default forwards to the functions above, and a caller may hand it another
// that watches the calls on their way through.
class PdfLibrary {
public:
    virtual ~PdfLibrary() = default;
    virtual int CreateBox(quintptr ownerWindow, int reserved);
    virtual int SetNumProp(int box, int property, int value);
    virtual int SetStrProp(int box, int property, const QString& text);
    virtual int BeginDoc(int box);
    virtual int StretchDrawFromFile(int box, int left, int top, int width, int height, const QString& bitmapPath);
    virtual int EndDoc(int box);
    virtual int FreeBox(int box);
    virtual int SetPageSizePoints(int box, double width, double height);
    virtual int DrawPlacedFromFile(int box, const PagePlacement& placement, const QString& bitmapPath);
    virtual int GetErrorMsg(char* buffer, int size);

    static PdfLibrary& Default();
};
