#pragma once
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <string>
#include <vector>

// The newest revision of a chain file: what a join needs of it.
struct ChainTail {
    long long prev = -1; // where its last cross-reference section starts
    long long size = 0;  // the trailer's /Size
    int version = 0;     // the header's version, 17 for 1.7; 0 when unknown
    QPDFObjGen catalogRef, rootRef;
    // Dictionaries: the catalog, the page tree's root and its last page.
    QPDFObjectHandle catalog, root, lastPage;
    std::vector<QPDFObjectHandle> kids; // the root's list, as references
    std::string info, id;               // the trailer's values as written; empty when absent
};

// Reads a chain's newest revision from its last cross-reference section
// alone, as the joins write it: a classic table naming the catalog, the
// root's newest revision and the last page, with a trailer that points to
// the section before. The cost is that section's, however many came
// before: a join then costs what its page costs.
class LastSection {
public:
    // False when the last section is not of that shape or does not hold
    // all of it (the first chain file, a file of somebody else's): then the
    // whole file must be read. References are made in `context`, which
    // resolves none of them.
    static bool Read(int fd, long long fileSize, long long startxref, QPDF& context, ChainTail* tail);

    // "1.7" as 17; 0 for anything else.
    static int VersionNumber(const std::string& v);

    // What a dictionary holds and how an object is written, without
    // resolving a reference: read from the last section alone, every
    // reference resolves to null, which libqpdf's own hasKey and unparse
    // take for "absent" and leave out.
    static bool Has(QPDFObjectHandle dict, const std::string& key);
    static std::string Written(QPDFObjectHandle obj);
};
