#include "engine/pdf/PdfCtl.h"

#include "engine/pdf/PagePlacement.h"
#include "engine/pdf/PdfDrawing.h"
#include "platform/MessageSink.h"
#include "platform/QuotedPath.h"

#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

// The entry points check their arguments and the box's state; the box, a
// PdfDrawing, does the drawing.
namespace {

using Box = PdfDrawing;

std::mutex g_mutex;
std::map<int, std::unique_ptr<Box>> g_boxes;
int g_nextBox = 1;
thread_local std::string t_lastError = "no error";

int fail(const QString& message)
{
    t_lastError = message.toStdString();
    return -1;
}

Box* findBox(int box)
{
    auto it = g_boxes.find(box);
    return it == g_boxes.end() ? nullptr : it->second.get();
}

} // namespace

int CreateBox(quintptr ownerWindow, int reserved)
{
    Q_UNUSED(ownerWindow);
    Q_UNUSED(reserved); // part of the designed call, like the owner
    std::lock_guard lock(g_mutex);
    const int id = g_nextBox++;
    g_boxes[id] = std::make_unique<Box>();
    return id;
}

int SetNumProp(int box, int property, int value)
{
    std::lock_guard lock(g_mutex);
    Box* b = findBox(box);
    if (!b)
        return fail(QString("SetNumProp: there is no box %1").arg(box));
    auto oneOf = [&](int lo, int hi, int* slot) {
        if (value < lo || value > hi)
            return fail(QString("Property %1 takes a value from %2 to %3, not %4").arg(property).arg(lo).arg(hi).arg(value));
        *slot = value;
        return 0;
    };
    switch (property) {
    case PdfProp::PageWidth:
    case PdfProp::PageHeight:
        if (value <= 0)
            return fail(QString("The page %1 must be more than 0, not %2")
                            .arg(property == PdfProp::PageWidth ? "width" : "height").arg(value));
        (property == PdfProp::PageWidth ? b->settings.width : b->settings.height) = value;
        b->settings.widthPt = b->settings.heightPt = 0;
        return 0;
    case PdfProp::JpegQuality:
        b->settings.quality = std::clamp(value, 1, 100);
        return 0;
    case PdfProp::PictureCompression: return oneOf(0, 2, &b->settings.compression);
    case PdfProp::PathCheck: return oneOf(0, 1, &b->settings.pathCheck);
    case PdfProp::DocumentCompression: return oneOf(0, 2, &b->settings.docCompression);
    case PdfProp::Placement: return oneOf(1, 2, &b->settings.placement);
    default:
        return fail(QString("There is no number property %1").arg(property));
    }
}

int SetStrProp(int box, int property, const QString& text)
{
    std::lock_guard lock(g_mutex);
    Box* b = findBox(box);
    if (!b)
        return fail(QString("SetStrProp: there is no box %1").arg(box));
    switch (property) {
    case PdfProp::OutputFile: {
        if (text.isEmpty())
            return fail("The PDF file name is empty");
        if (b->settings.pathCheck) {
            const QFileInfo folder(QFileInfo(text).absolutePath());
            if (!folder.isDir())
                return fail(QString("Cannot write %1: the folder does not exist").arg(QuotedPath(text)));
            if (!folder.isWritable())
                return fail(QString("Cannot write %1: the folder is not writable").arg(QuotedPath(text)));
        }
        b->settings.file = text;
        return 0;
    }
    case PdfProp::Creator:
        b->settings.creator = text;
        return 0;
    default:
        return fail(QString("There is no text property %1").arg(property));
    }
}

int BeginDoc(int box)
{
    std::lock_guard lock(g_mutex);
    Box* b = findBox(box);
    if (!b)
        return fail(QString("BeginDoc: there is no box %1").arg(box));
    if (b->Begun())
        return fail("BeginDoc: the document has already begun");
    if (b->settings.file.isEmpty())
        return fail("BeginDoc: no PDF file name was set (property 10)");
    if ((b->settings.width <= 0 || b->settings.height <= 0) && (b->settings.widthPt <= 0 || b->settings.heightPt <= 0))
        return fail("BeginDoc: the page size was not set (properties 36 and 34)");
    const QString error = b->Begin();
    return error.isEmpty() ? 0 : fail(error);
}

int StretchDrawFromFile(int box, int left, int top, int width, int height, const QString& bitmapPath)
{
    std::lock_guard lock(g_mutex);
    Box* b = findBox(box);
    if (!b)
        return fail(QString("StretchDrawFromFile: there is no box %1").arg(box));
    if (!b->Begun())
        return fail("StretchDrawFromFile: BeginDoc was not called");
    if (width <= 0 || height <= 0)
        return fail(QString("StretchDrawFromFile: the rectangle %1 x %2 is empty").arg(width).arg(height));
    const QString error = b->Draw(left, top, width, height, bitmapPath);
    return error.isEmpty() ? 0 : fail(error);
}

int SetPageSizePoints(int box, double width, double height)
{
    std::lock_guard lock(g_mutex);
    Box* b = findBox(box);
    if (!b)
        return fail(QString("SetPageSizePoints: there is no box %1").arg(box));
    // As large as the designed page may grow (65,500 pixels at 200 ppi)
    // with margins on both sides; paper itself stops at 200 inches.
    if (!(width >= 1 && width <= 60000 && height >= 1 && height <= 60000))
        return fail(QString("The page size %1 x %2 pt is outside 1 to 60000 pt").arg(width).arg(height));
    if (b->Begun())
        return fail("SetPageSizePoints: the document has already begun");
    b->settings.widthPt = width;
    b->settings.heightPt = height;
    return 0;
}

int DrawPlacedFromFile(int box, const PagePlacement& placement, const QString& bitmapPath)
{
    std::lock_guard lock(g_mutex);
    Box* b = findBox(box);
    if (!b)
        return fail(QString("DrawPlacedFromFile: there is no box %1").arg(box));
    if (!b->Begun())
        return fail("DrawPlacedFromFile: BeginDoc was not called");
    const PagePlacement::Rect& r = placement.picture;
    if (!(r.width > 0 && r.height > 0) || placement.codedWidth <= 0 || placement.codedHeight <= 0)
        return fail(QString("DrawPlacedFromFile: the rectangle %1 x %2 pt is empty").arg(r.width).arg(r.height));
    const QString error = b->DrawPlaced(placement, bitmapPath);
    return error.isEmpty() ? 0 : fail(error);
}

int EndDoc(int box)
{
    std::lock_guard lock(g_mutex);
    Box* b = findBox(box);
    if (!b)
        return fail(QString("EndDoc: there is no box %1").arg(box));
    if (!b->Begun())
        return fail("EndDoc: BeginDoc was not called");
    const QString error = b->End();
    return error.isEmpty() ? 0 : fail(error);
}

int FreeBox(int box)
{
    std::lock_guard lock(g_mutex);
    if (g_boxes.erase(box) == 0)
        return fail(QString("FreeBox: there is no box %1").arg(box));
    return 0;
}

int GetErrorMsg(char* buffer, int size)
{
    if (!buffer || size <= 0)
        return 0;
    const std::string& text = t_lastError;
    size_t n = std::min(text.size(), size_t(size - 1));
    // Never cut a UTF-8 sequence in half.
    while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
        --n;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return int(n);
}

bool CheckPdfError(int result, MessageSink& sink)
{
    if (result != -1)
        return true;
    char buffer[256];
    GetErrorMsg(buffer, 255);
    sink.showMessage("PDF", QString::fromUtf8(buffer), MessageIcon::Critical);
    return false;
}

int PdfLibrary::CreateBox(quintptr ownerWindow, int reserved) { return ::CreateBox(ownerWindow, reserved); }
int PdfLibrary::SetNumProp(int box, int property, int value) { return ::SetNumProp(box, property, value); }
int PdfLibrary::SetStrProp(int box, int property, const QString& text) { return ::SetStrProp(box, property, text); }
int PdfLibrary::BeginDoc(int box) { return ::BeginDoc(box); }
int PdfLibrary::StretchDrawFromFile(int box, int left, int top, int width, int height, const QString& bitmapPath)
{
    return ::StretchDrawFromFile(box, left, top, width, height, bitmapPath);
}
int PdfLibrary::EndDoc(int box) { return ::EndDoc(box); }
int PdfLibrary::FreeBox(int box) { return ::FreeBox(box); }
int PdfLibrary::SetPageSizePoints(int box, double width, double height) { return ::SetPageSizePoints(box, width, height); }
int PdfLibrary::DrawPlacedFromFile(int box, const PagePlacement& placement, const QString& bitmapPath)
{
    return ::DrawPlacedFromFile(box, placement, bitmapPath);
}
int PdfLibrary::GetErrorMsg(char* buffer, int size) { return ::GetErrorMsg(buffer, size); }

PdfLibrary& PdfLibrary::Default()
{
    static PdfLibrary library;
    return library;
}
