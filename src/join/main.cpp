// velunor-join: the conversion's join step, on libqpdf. Takes the toolkit's
// cat operation, on the same files:
//
//   velunor-join CHAIN.pdf PAGE.pdf cat output NEXT.pdf [dont_ask]
//
// Appends the pages of PAGE.pdf to CHAIN.pdf as an incremental update and
// renames CHAIN.pdf to NEXT.pdf (see ChainAppend). Exit 0 when done; 1 with
// the reason on standard error (the job shows it), CHAIN.pdf keeping its
// bytes and no NEXT.pdf made; 2 for a wrong command line. Without dont_ask
// an existing NEXT.pdf is not replaced.
#include "join/ChainAppend.h"

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    const bool shaped = (argc == 6 || argc == 7) && std::strcmp(argv[3], "cat") == 0
        && std::strcmp(argv[4], "output") == 0 && (argc == 6 || std::strcmp(argv[6], "dont_ask") == 0);
    if (!shaped) {
        std::fprintf(stderr, "usage: velunor-join CHAIN.pdf PAGE.pdf cat output NEXT.pdf [dont_ask]\n");
        return 2;
    }
    std::string error;
    if (!ChainAppend::Run(argv[1], argv[2], argv[5], argc == 7, &error)) {
        std::fprintf(stderr, "velunor-join: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
