#pragma once
#include <QRectF>
#include <QString>

// The searchable text of a page: a page of invisible text that the text
// reader wrote for the page's picture, laid over our page as one form
// XObject placed where the picture lies, so every word covers its ink. The
// rest of the page (its picture stream above all) stays byte for byte.
class TextLayer {
public:
    // Where the page's picture lies, in PDF points with the origin at the
    // bottom left (x, y: its lower left corner):
    // the bounds of the image XObject's unit square under the matrices in
    // force where it is drawn. A page of ours holds one picture.
    static bool PictureRect(const QString& pageFile, QRectF* rect, QString* error);

    // Lays the first page of `textPdf` over the page of `pageFile`, its box
    // stretched onto `rect` (points, as PictureRect gives), and rewrites the
    // page file in place (whole or not at all). `turn` (0, 90, 180, 270):
    // the page is shown turned clockwise by so much (its /Rotate), and the
    // text page, read from the picture turned so, is laid on it turned back.
    static bool Overlay(const QString& pageFile, const QString& textPdf, const QRectF& rect, int turn, QString* error);
};
