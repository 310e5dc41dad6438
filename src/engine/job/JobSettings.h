#pragma once
#include "engine/pdf/PageLayout.h"

#include <QString>

// The values a conversion job works with besides the list, as they stand at
// one moment. The job asks for them anew at each use (JobInputs::Settings),
// because the fields stay editable while it runs.
struct JobSettings {
    QString title; // also the output file's base name
    QString author;
    QString subject;
    QString keywords;
    QString creationDate; // a PDF date string
    QString outputFolder;
    int quality = 0; // JPEG quality of the pages, 1 to 100
    PageLayout page; // paper, orientation, margin, fit, resolution limit
    // Searchable pages: the text recognition languages in Tesseract's codes
    // ("eng", "deu+eng"); empty, the designed pages without text. Taken once,
    // when the job starts, so a document is searchable throughout or not at all.
    QString ocrLanguages;
    // A PDF/A-2b document for archives instead of the designed one; taken
    // once, when the job starts.
    bool pdfa = false;
    // With searchable pages: a file that also gets every page's words, in
    // reading order, a form feed between pages, put in place with the
    // document (velunor-convert's --sidecar). Empty: none.
    QString sidecar;
};
