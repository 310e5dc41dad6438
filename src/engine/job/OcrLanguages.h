#pragma once
#include <QString>
#include <QStringList>

// The languages the text reader can read: Tesseract's codes ("eng",
// "deu+eng"), each installed as CODE.traineddata in its data folder by
// Debian's tesseract-ocr-CODE package.
class OcrLanguages {
public:
    // $TESSDATA_PREFIX when set (as Tesseract itself takes it), else
    // Debian's folder, where the tesseract-ocr-* packages put their data.
    static QString DataFolder();
    // Installed codes, sorted ("osd", the script detector, is no language).
    static QStringList Installed();
    // The Debian package that brings `code` (chi_sim: tesseract-ocr-chi-sim).
    static QString DebianPackage(const QString& code);
    // Why `languages` cannot be read, in user words; empty when every code
    // is installed.
    static QString Problem(const QString& languages);
};
