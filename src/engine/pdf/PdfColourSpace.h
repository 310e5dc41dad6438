#pragma once
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <QByteArray>

// A picture's colour space in the document: its ICC profile (ICCBased, the
// device space as /Alternate) when it has one for that many components,
// else the device space (Gray, RGB or CMYK by the count).
class PdfColourSpace {
public:
    static QPDFObjectHandle For(QPDF& pdf, const QByteArray& iccProfile, int components);
};
