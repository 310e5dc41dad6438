#pragma once
#include "engine/picture/PictureTraits.h"

#include <QByteArray>
#include <QString>

#include <functional>

// A JPEG picture checked for being kept as it is, without its pixels:
// libjpeg's coefficient read (jpeg_read_coefficients) decodes every
// entropy-coded segment of every scan, so it meets every damaged stream a
// pixel decode meets; only the inverse transform and the colour conversion,
// which cannot fail, are left out.
class JpegCoefficientCheck {
public:
    // The traits of the file's page without a bitmap (its JPEG source, and
    // whether it is CMYK without a profile) and its size turned upright by
    // its Exif orientation, when it is a JPEG a PDF reader can take as it is
    // (JpegFacts::Passable), no larger than the page maker takes, and read
    // whole without an error or a warning; traits without a JPEG source
    // otherwise (the full decode then judges the picture and speaks).
    // `wanted`, given the traits and the upright size, says whether the
    // page would keep such a JPEG at all; when it would not, the read of the
    // coefficients (a third of a decode) is spared.
    using Wanted = std::function<bool(const PictureTraits& traits, int width, int height)>;
    static PictureTraits Check(const QString& path, int* width, int* height, const Wanted& wanted = {});

    // Whether libjpeg reads every coefficient of `jpeg` without an error or
    // a warning; false with libjpeg's words in *why.
    static bool ReadsWhole(const QByteArray& jpeg, QString* why = nullptr);
};
