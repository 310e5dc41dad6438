#pragma once
#include <QString>

// One pass over the finished document after the toolkit's information step:
// the dates become plain PDF date strings (the toolkit writes them as UTF-16
// text, which date readers take for text), a missing ModDate is set to now,
// and an XMP metadata stream mirrors the information fields (title, author,
// subject, keywords, creation and modification dates, creator, producer) for
// document managers and archives. Everything else is kept as it was.
class DocumentInfoPass {
public:
    // Rewrites `pdf` in place (through a temporary file beside it); false,
    // with *error saying why, leaves it untouched.
    static bool Run(const QString& pdf, QString* error);

    // "D:YYYYMMDDHHmmSS+HH'mm'" (any shorter valid form) as ISO 8601
    // ("YYYY-MM-DDTHH:mm:SS+HH:mm"); empty when it is not a PDF date.
    static QString XmpDate(const QString& pdfDate);
};
