#pragma once
#include <QByteArray>
#include <QString>
#include <QtGlobal>

// A JPEG's size and colour components as libjpeg itself reads them
// (jpeg_read_header), before any pixel is decoded. Our own marker walk gave
// up where libjpeg goes on (junk before the frame header, a thousand
// segments), and a picture the walk could not size was then decoded in full
// unchecked; libjpeg's own reading gives the size of whatever it would decode.
class JpegHeader {
public:
    qint64 width = 0;
    qint64 height = 0;
    int components = 0; // 1 grey, 3 colour, 4 CMYK

    // False, with *error saying why in user words, when libjpeg cannot read
    // the header: then it could not decode the picture either.
    bool Read(const QByteArray& jpeg, QString* error);
};
