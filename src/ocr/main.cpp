// velunor-ocr: reads the text of one page picture with Tesseract and writes
// it as Tesseract's own text-only PDF page (invisible text, no picture), in a
// process of its own under a memory limit; the job starts it, times it and
// lays the page it writes over the page it made.
//
//   velunor-ocr --parent PID --memory-limit BYTES --data DIR --languages LANGS [--rotate-pages] BITMAP OUTBASE
//
// Writes OUTBASE.pdf, and the words as UTF-8 text in Tesseract's reading
// order to OUTBASE.txt, prints "turn N" as its last line and exits 0, or
// prints the reason and exits with one of the codes below. N is 0, or with
// --rotate-pages the clockwise quarter turns in degrees (90, 180, 270) that
// show the page upright; the text page is then that of the upright page.
#include "platform/HelperBounds.h"

#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/renderer.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unistd.h>

namespace {

// The same numbers the decoding helper uses, so both read alike.
enum Exit { Read = 0, Refused = 1, Usage = 2, OutOfMemory = 3, ParentGone = 4 };

[[noreturn]] void outOfMemory() { ::_exit(OutOfMemory); }

bool number(const char* text, long long* value)
{
    char* end = nullptr;
    errno = 0;
    *value = std::strtoll(text, &end, 10);
    return errno == 0 && end != text && *end == '\0';
}

int refuse(const std::string& why)
{
    std::printf("%s\n", why.c_str());
    return Refused;
}

// Tesseract's orientation detection, believed by OCRmyPDF's rule: a turn is
// taken only at a confidence of kTurnConfidence or more, so a page without
// enough text (a photo) or an unclear one stays as it is. OCRmyPDF's default
// bar, 14, left 4 of 18 plain drawn text pages sideways (their confidence
// runs from 10 to 22); 7 is Tesseract's own, the margin above which its
// layout analysis (mode 1) reads a page turned, so a page is shown turned
// exactly when its text was read so.
constexpr float kTurnConfidence = 7.0f;

// The clockwise turn (0, 90, 180, 270) that shows `pix` upright. False with
// *why only when the orientation data cannot be loaded.
bool uprightTurn(Pix* pix, const char* data, int* turn, std::string* why)
{
    *turn = 0;
    tesseract::TessBaseAPI osd;
    if (osd.Init(data, "osd", tesseract::OEM_TESSERACT_ONLY) != 0) {
        *why = std::string("Tesseract could not load its orientation data \"osd\" from ") + data +
               " (Debian's tesseract-ocr-osd)";
        return false;
    }
    osd.SetPageSegMode(tesseract::PSM_OSD_ONLY);
    // The orientation is read from the letters' shapes, not their detail:
    // a page 2000 pixels or more across (A4 at 240 dpi and up) is read at
    // half size, in half the time (0.65 against 0.35 s at 300 dpi), with
    // no less confidence. A smaller one, or one not scaled, is read whole.
    Pix* half = nullptr;
    if (std::min(pixGetWidth(pix), pixGetHeight(pix)) >= 2000)
        half = pixGetDepth(pix) == 1 ? pixScaleToGray2(pix) : pixScaleAreaMap2(pix);
    osd.SetImage(half ? half : pix);
    int degrees = 0; // the text's own turn, counter-clockwise
    float confidence = 0, scriptConfidence = 0;
    const char* script = nullptr;
    // False: too little text to tell; the page stays as it is.
    if (osd.DetectOrientationScript(&degrees, &confidence, &script, &scriptConfidence) &&
        confidence >= kTurnConfidence && degrees % 90 == 0)
        *turn = (360 - degrees) % 360;
    osd.End();
    pixDestroy(&half);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    long long parent = 0, limit = 0;
    const bool rotate = argc == 12 && std::strcmp(argv[9], "--rotate-pages") == 0;
    if ((argc != 11 && !rotate) || std::strcmp(argv[1], "--parent") != 0 || !number(argv[2], &parent) ||
        std::strcmp(argv[3], "--memory-limit") != 0 || !number(argv[4], &limit) || std::strcmp(argv[5], "--data") != 0 ||
        std::strcmp(argv[7], "--languages") != 0) {
        std::fprintf(stderr, "usage: velunor-ocr --parent PID --memory-limit BYTES --data DIR --languages LANGS "
                             "[--rotate-pages] BITMAP OUTBASE\n");
        return Usage;
    }
    const char* data = argv[6];
    const char* languages = argv[8];
    const char* bitmap = argv[argc - 2];
    const char* outbase = argv[argc - 1];

    // One thread: two readers and the page maker share the cores, and
    // Tesseract's OpenMP threads spinning beside them made a page take twice
    // as long. The OpenMP runtime reads the limit once, as it is loaded,
    // before main: so this program starts afresh with it set.
    if (const char* threads = std::getenv("OMP_THREAD_LIMIT"); !threads || std::strcmp(threads, "1") != 0) {
        ::setenv("OMP_THREAD_LIMIT", "1", 1);
        ::execv("/proc/self/exe", argv); // on failure, read with Tesseract's own threads
    }
    if (!BindHelperToParent(parent, limit, outOfMemory))
        return ParentGone;

    Pix* pix = pixRead(bitmap);
    if (!pix)
        return refuse("the page picture could not be read for text recognition");
    // A resolution below 150 dpi is a camera's or screen's default (72, 96)
    // that says nothing about the page, and misleads Tesseract (a 300-dpi
    // page said to be 96 dpi lost five words in six): Tesseract then
    // estimates it from the text's size, as it does for a picture without one.
    const l_int32 res = pixGetXRes(pix);
    if (res < 150 || res > 2400)
        pixSetResolution(pix, 0, 0);

    int turn = 0;
    if (rotate) {
        std::string why;
        if (!uprightTurn(pix, data, &turn, &why)) {
            pixDestroy(&pix);
            return refuse(why);
        }
        if (turn != 0) {
            Pix* upright = pixRotateOrth(pix, turn / 90);
            pixDestroy(&pix);
            if (!upright)
                return refuse("the page picture could not be turned upright");
            pix = upright;
        }
    }

    tesseract::TessBaseAPI api;
    if (api.Init(data, languages, tesseract::OEM_DEFAULT) != 0) {
        pixDestroy(&pix);
        return refuse(std::string("Tesseract could not load the languages \"") + languages + "\" from " + data);
    }
    // The page's own layout: columns are found and read one after the
    // other (Tesseract's default for a whole page), not as one block whose
    // lines run across them. With orientation detection, each block's too.
    api.SetPageSegMode(rotate ? tesseract::PSM_AUTO_OSD : tesseract::PSM_AUTO);
    // Its text-only page: the words in invisible text (render mode 3) and no
    // picture, sized like the picture at its resolution.
    tesseract::TessPDFRenderer renderer(outbase, api.GetDatapath(), true);
    const bool ok = renderer.BeginDocument("") && api.ProcessPage(pix, 0, bitmap, nullptr, 0, &renderer) &&
                    renderer.EndDocument();
    pixDestroy(&pix);
    if (!ok || !renderer.happy())
        return refuse(std::string("Tesseract could not write its text page ") + outbase + ".pdf");
    // The same recognition as plain text, for the words beside the document.
    const std::unique_ptr<char[]> words(api.GetUTF8Text());
    const std::string textPath = std::string(outbase) + ".txt";
    std::FILE* text = words ? std::fopen(textPath.c_str(), "wb") : nullptr;
    const size_t size = words ? std::strlen(words.get()) : 0;
    const bool written = text && std::fwrite(words.get(), 1, size, text) == size;
    if (!text || std::fclose(text) != 0 || !written)
        return refuse("Tesseract's words could not be written to " + textPath);
    std::printf("turn %d\n", turn);
    return Read;
}
