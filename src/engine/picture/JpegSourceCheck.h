#pragma once
#include "engine/picture/PictureTraits.h"

#include <QString>

#include <sys/stat.h>

// The decode step's note of a JPEG picture file, so that the drawing layer
// may store the file's own coded data: taken before the picture is decoded,
// and after a clean decode turned into the traits' JPEG source, provided
// the file did not change meanwhile.
class JpegSourceCheck {
public:
    explicit JpegSourceCheck(const QString& path);

    // The file's JPEG source after a decode that raised no warning; none
    // when the file is no JPEG a PDF reader can take as it is
    // (JpegFacts::Passable), or it changed while it was decoded.
    PictureTraits::JpegSource After(bool decodedQuietly) const;

private:
    QString m_path;
    bool m_noted = false;
    struct stat m_before {};
};
