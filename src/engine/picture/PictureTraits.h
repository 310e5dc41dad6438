#pragma once
#include <FreeImage.h>
#include <QByteArray>
#include <QString>

// What a picture says about itself that its temporary bitmap cannot carry:
// its embedded ICC colour profile and, for a JPEG, its chroma subsampling.
// They travel in a small side file beside the temporary bitmap, written with
// it and removed with it, and are believed only for a bitmap of the same size.
class PictureTraits {
public:
    // ICC profile for the picture's RGB or grey pixels; empty when it has
    // none or one that cannot describe them (CMYK, damaged...).
    QByteArray iccProfile;
    // A colour JPEG's luma sampling factors (2 x 2 is 4:2:0); 0 otherwise.
    int samplingH = 0;
    int samplingV = 0;
    // A JPEG whose own coded data may stand for the page instead of the
    // bitmap (JpegFacts::Passable, decoded cleanly): where it is, its size
    // and CRC-32 when it was decoded (the drawing layer takes it only
    // unchanged), the quality estimate and the Exif orientation the bitmap
    // was turned by. No path: none.
    struct JpegSource {
        QString path;
        qint64 size = 0;
        quint32 crc = 0;
        int quality = 0;
        int orientation = 1;
    };
    JpegSource jpegSource;
    // A bilevel TIFF page coded in CCITT Group 4, whose coded strip may
    // stand for the page: the file and where the page's directory starts.
    // The drawing layer takes it only where it decodes to the bitmap's very
    // pixels. No path: none.
    struct FaxSource {
        QString path;
        quint64 directory = 0;
    };
    FaxSource faxSource;
    // The picture is CMYK without a profile that says what its colours are
    // (its pixels were made RGB by a guess).
    bool unprofiledCmyk = false;
    // Decoded from lossy coding (JPEG, lossy WebP, HEIC, AVIF, lossy JPEG
    // XL): however few its colours or grey levels, the picture is a photo.
    bool lossySource = false;

    // Gathers the traits of a picture just decoded from `sourcePath`, before
    // anything converts it (the profile is read from the decoded picture,
    // the subsampling from the file).
    static PictureTraits Of(FIBITMAP* decoded, const QString& sourcePath);
    // What a reader of lossy coding says of the picture it decoded, for Of.
    static void MarkLossy(FIBITMAP* decoded);
    // What a reader says of CMYK pixels it made RGB without a CMYK profile.
    static void MarkUnprofiledCmyk(FIBITMAP* decoded);
    // What the TIFF reader says of a page it decoded from Group 4 coding
    // (its directory at `directory`), for Of.
    static void MarkFaxCoded(FIBITMAP* decoded, quint64 directory);

    static QString SideFile(const QString& bitmapPath);
    // Writes the side file for a bitmap of width x height pixels; when
    // there is nothing to say, makes sure there is none.
    bool Write(const QString& bitmapPath, int width, int height) const;
    // The traits of a width x height bitmap; empty traits when there is no
    // side file, or it belongs to a bitmap of another size or is damaged.
    static PictureTraits Read(const QString& bitmapPath, int width, int height);
    // The traits written for a page that has no bitmap (a JPEG kept as it
    // is), with the size they were written for; empty traits when there is
    // a bitmap, or no whole side file.
    static PictureTraits ReadAlone(const QString& bitmapPath, int* width, int* height);
    // No traits for this bitmap: its side file emptied (Read takes that for
    // none), so that the next page writes the same file again.
    static void Remove(const QString& bitmapPath);

    // Whether a JPEG (its bytes) is CMYK with an embedded profile, to be
    // decoded as CMYK so its colours can go through the profile.
    static bool IsProfiledCmykJpeg(const QByteArray& jpeg);

    bool IsEmpty() const
    {
        return iccProfile.isEmpty() && samplingH == 0 && samplingV == 0 && jpegSource.path.isEmpty() &&
               faxSource.path.isEmpty() && !unprofiledCmyk && !lossySource;
    }
};
