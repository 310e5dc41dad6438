#pragma once
#include "docinfo/InfoFile.h"

#include <string>
#include <vector>

// The information step on one document, in one libqpdf pass and one write:
// the fields of the information file go into the information dictionary
// (text as PDF text strings, dates as plain PDF date strings, which date
// readers take for dates), ModDate becomes now, and an XMP metadata stream
// mirrors the fields (title, author, subject, keywords, creation and
// modification dates, creator, producer) for document managers and
// archives. Pages and coded streams are copied as they are, into one plain
// file: one cross-reference stream, object streams, no earlier revisions.
class DocumentInfoUpdate {
public:
    // Reads `input`, writes `output` through a temporary file beside it that
    // replaces `output` only once written whole and synced; a file replaced
    // keeps its permissions, a new one gets the usual (0666 less the umask).
    // False with *error (a sentence) leaves no output file of ours behind.
    // `archive` makes it a PDF/A-2b document in the same pass: the sRGB
    // output intent, the PDF/A identification and every entry mirrored in
    // the XMP (dates that are no PDF dates are refused).
    static bool Run(const std::string& input, const std::vector<InfoFile::Field>& fields, const std::string& output,
                    std::string* error, bool archive = false);

    // Opens a regular file for reading, or -1 with *error: a FIFO or a
    // device is never waited for (opened without blocking) nor read.
    static int OpenRegularFile(const std::string& path, std::string* error);

    // "D:YYYYMMDDHHmmSS+HH'mm'" (or any shorter valid form) as ISO 8601
    // ("YYYY-MM-DDTHH:mm:SS+HH:mm"); empty when it is not a PDF date.
    static std::string XmpDate(const std::string& pdfDate);

    // Now as a PDF date in local time with the moment's own UTC offset.
    static std::string PdfDateNow();
};
