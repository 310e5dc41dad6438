// velunor-ocr: reads the text of one page picture with Tesseract and writes
// it as Tesseract's own text-only PDF page (invisible text, no picture), in a
// process of its own under a memory limit; the job starts it, times it and
// lays the page it writes over the page it made.
//
//   velunor-ocr --parent PID --memory-limit BYTES --data DIR --languages LANGS BITMAP OUTBASE
//
// Writes OUTBASE.pdf, and the words as UTF-8 text in Tesseract's reading
// order to OUTBASE.txt, and exits 0, or prints the reason and exits with one of
// the codes below.
#include "platform/HelperBounds.h"

#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/renderer.h>

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

} // namespace

int main(int argc, char** argv)
{
    long long parent = 0, limit = 0;
    if (argc != 11 || std::strcmp(argv[1], "--parent") != 0 || !number(argv[2], &parent) ||
        std::strcmp(argv[3], "--memory-limit") != 0 || !number(argv[4], &limit) || std::strcmp(argv[5], "--data") != 0 ||
        std::strcmp(argv[7], "--languages") != 0) {
        std::fprintf(stderr,
                     "usage: velunor-ocr --parent PID --memory-limit BYTES --data DIR --languages LANGS BITMAP OUTBASE\n");
        return Usage;
    }
    const char* data = argv[6];
    const char* languages = argv[8];
    const char* bitmap = argv[9];
    const char* outbase = argv[10];

    if (!BindHelperToParent(parent, limit, outOfMemory))
        return ParentGone;
    // One thread: the job makes the next page on the other core meanwhile,
    // and Tesseract's threads gain little on one page (set before the
    // library's OpenMP runtime first reads it).
    ::setenv("OMP_THREAD_LIMIT", "1", 1);

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

    tesseract::TessBaseAPI api;
    if (api.Init(data, languages, tesseract::OEM_DEFAULT) != 0) {
        pixDestroy(&pix);
        return refuse(std::string("Tesseract could not load the languages \"") + languages + "\" from " + data);
    }
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
    return Read;
}
