// velunor-docinfo: the conversion's information step, on libqpdf. Takes the
// toolkit's update_info operation, on the same files:
//
//   velunor-docinfo [--pdfa] CHAIN.pdf update_info INFO.txt output OUT.pdf [dont_ask]
//
// Sets the fields of the information file (all seven the job writes must be
// there), ModDate and the XMP mirror, and writes OUT.pdf once. Exit 0 when
// done; 1 with the reason on standard error (the job shows it) and no
// output written; 2 for a wrong command line. Without dont_ask an existing
// OUT.pdf is not replaced. --pdfa makes OUT.pdf a PDF/A-2b document in the
// same pass (output intent, identification, full XMP mirror).
#include "docinfo/DocumentInfoUpdate.h"
#include "docinfo/InfoFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kName = "velunor-docinfo";
// The job's file is a few hundred bytes; anything this large is not one.
constexpr std::streamsize kMaxInfoBytes = 1 << 20;

int failure(const std::string& text)
{
    std::fprintf(stderr, "%s: %s\n", kName, text.c_str());
    return 1;
}

bool readInfoFile(const std::string& path, std::string* text, std::string* error)
{
    const int fd = DocumentInfoUpdate::OpenRegularFile(path, error);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size > kMaxInfoBytes) {
        *error = "it is far too large to be one (" + std::to_string(st.st_size) + " bytes)";
        ::close(fd);
        return false;
    }
    // Read to its end: the size may have changed since.
    text->clear();
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || std::streamsize(text->size()) > kMaxInfoBytes) {
            *error = n < 0 ? std::strerror(errno) : "it is far too large to be one";
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        text->append(buf, size_t(n));
    }
    ::close(fd);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const bool archive = argc > 1 && std::strcmp(argv[1], "--pdfa") == 0;
    if (archive) {
        argv[1] = argv[0];
        ++argv;
        --argc;
    }
    const bool shaped = (argc == 6 || argc == 7) && std::strcmp(argv[2], "update_info") == 0
        && std::strcmp(argv[4], "output") == 0 && (argc == 6 || std::strcmp(argv[6], "dont_ask") == 0);
    if (!shaped) {
        std::fprintf(stderr, "usage: %s [--pdfa] CHAIN.pdf update_info INFO.txt output OUT.pdf [dont_ask]\n", kName);
        return 2;
    }
    const std::string input = argv[1], infoPath = argv[3], output = argv[5];
    const bool replace = argc == 7;

    std::string text, error;
    if (!readInfoFile(infoPath, &text, &error))
        return failure("cannot read the document information file " + infoPath + ": " + error);
    std::vector<InfoFile::Field> fields;
    if (!InfoFile::Parse(text, InfoFile::JobKeys(), &fields, &error))
        return failure("the document information file " + infoPath + " cannot be used: " + error);

    struct stat st {};
    if (!replace && ::lstat(output.c_str(), &st) == 0)
        return failure(output + " exists; dont_ask replaces it");
    if (!DocumentInfoUpdate::Run(input, fields, output, &error, archive))
        return failure(error);
    return 0;
}
