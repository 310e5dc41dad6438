#pragma once
#include <qpdf/QPDF.hh>

#include <string>

// What makes the document a PDF/A-2b archive document beyond its XMP
// identification: an sRGB output intent (GTS_PDFA1) whose profile is
// lcms2's own sRGB, so every device colour of the pages has a meaning.
class ArchiveParts {
public:
    // lcms2's built-in sRGB profile as ICC bytes; empty if lcms2 failed.
    static std::string SrgbProfile();
    // Puts the output intent into the catalogue, replacing any other.
    // Throws std::runtime_error when the profile cannot be made.
    static void AddOutputIntent(QPDF& doc);
    // The XMP namespace and properties of the identification (part 2,
    // conformance B).
    static const char* IdentificationNamespace();
    static const char* IdentificationProperties();
};
