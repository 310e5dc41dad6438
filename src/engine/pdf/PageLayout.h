#pragma once
#include "engine/pdf/PagePlacement.h"

#include <QString>

// How pictures are laid on their pages: the picture's own size at 200
// pixels per inch (the default, the designed page), or paper of a given
// size with the picture turned, fitted and centred on it. A value read with
// the job's settings at every page. The texts are those of velunor-convert's
// options and of the options file; Parse... accept them in any letter case.
class PageLayout {
public:
    enum class Orientation { Auto, Portrait, Landscape };
    enum class Fit { Into, Shrink };
    enum class Unit { Mm, Cm, In, Pt };

    // A length as given: its number and unit, so it reads back as typed.
    struct Length {
        double value = 0;
        Unit unit = Unit::Mm;
        double Points() const;
        QString Text() const; // "20mm"
    };

    PageLayout() = default;

    // Paper; the picture's own size when none (at 200 ppi, or native).
    bool IsPictureSize() const { return m_paper.isEmpty() || IsNativeSize(); }
    // The picture's own size at the resolution its file states.
    bool IsNativeSize() const { return m_paper == QLatin1String("native"); }
    // "picture", "native", a paper's name ("A4"), or the custom size ("100x150mm").
    QString SizeText() const;
    // The paper as given (either way round), in points; 0 x 0 for picture.
    double PaperWidth() const;
    double PaperHeight() const;
    // The same in the paper's own unit (mm for A4, in for Letter).
    Length GivenWidth() const { return m_width; }
    Length GivenHeight() const { return m_height; }

    Orientation orientation = Orientation::Auto;
    // Kept free on every side of the page.
    Length margin;
    Fit fit = Fit::Into;
    // Pixels per inch a picture may lie at, at most; 0: no limit.
    int maxPpi = 0;
    // With text read: a page whose text stands sideways or upside down is
    // shown upright.
    bool rotatePages = true;
    // A page more than half a degree askew is straightened before coding.
    bool deskew = false;

    QString OrientationText() const;
    QString FitText() const;
    QString MaxPpiText() const; // "none" or the number

    // Each takes one value's text; false with *error saying what was wrong
    // and what is accepted, the layout unchanged.
    bool SetSize(const QString& text, QString* error);
    bool SetOrientation(const QString& text, QString* error);
    bool SetMargin(const QString& text, QString* error);
    bool SetFit(const QString& text, QString* error);
    bool SetMaxPpi(const QString& text, QString* error);
    // A custom paper size.
    void SetCustomSize(const Length& width, const Length& height);

    static bool ParseLength(const QString& text, Length* length, QString* error);
    static QString UnitText(Unit unit);

    // What makes the whole unusable (a margin that leaves no room on the
    // paper, or none within PDF's largest page), in user words; empty when
    // it is fine.
    QString Problem() const;
    // What makes every picture come out unreadably small or coarse, though
    // the layout works: under 36 pixels per inch, or less than an inch of
    // room inside the margins. In user words; empty when it is fine.
    QString Warning() const;
    // The same for one picture of w x h pixels on paper: "at 5 pixels per
    // inch", "at only 0.20 x 0.20 in", or empty when it is fine. A picture
    // on its own size is drawn as it is, never warned of.
    QString PictureWarning(int w, int h) const;

    // PDF's largest page side, in points (readers clip a larger page).
    static constexpr double MaxPageSide = 14400;
    // Why `placed` cannot be a page (a picture too large for its page at 200
    // pixels per inch), in user words; empty when it can.
    static QString PageProblem(const PagePlacement& placed);

    // The page of a picture of w x h pixels (upright, after any Exif turn)
    // that its file states to be `ppi` pixels per inch across and down (0:
    // not stated). The designed page is given as the designed calls make
    // it: its sides in whole tenths of a millimetre, the picture over all of it.
    PagePlacement Place(int w, int h, double ppiX = 0, double ppiY = 0) const;
    // The resolution a native page takes from a stated one: itself, or 200
    // when it is none or implausible (below 72 or above 2400).
    static double NativePpi(double stated);
    // Pixels at 200 per inch to tenths of a millimetre, halves to even.
    static int DesignedLength(int pixels);

    bool operator==(const PageLayout& o) const;
    bool operator!=(const PageLayout& o) const { return !(*this == o); }

private:
    QString m_paper; // empty: picture; else a paper's name or "custom"
    Length m_width, m_height; // the custom size
};
