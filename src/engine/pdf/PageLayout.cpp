#include "engine/pdf/PageLayout.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

// The largest page side PDF viewers are bound to show: 200 inches.
constexpr double kMaxSide = PageLayout::MaxPageSide;
// Points per pixel of the designed page: 200 pixels per inch.
constexpr double kNatural = 72.0 / 200.0;
// Below this a page is blocks rather than a picture.
constexpr int kFewestPpi = 36;
constexpr double kInch = 72;

struct Paper {
    const char* name;
    double width, height;
    PageLayout::Unit unit;
};
const Paper kPapers[] = {
    {"A3", 297, 420, PageLayout::Unit::Mm},  {"A4", 210, 297, PageLayout::Unit::Mm},
    {"A5", 148, 210, PageLayout::Unit::Mm},  {"B5", 176, 250, PageLayout::Unit::Mm},
    {"Letter", 8.5, 11, PageLayout::Unit::In}, {"Legal", 8.5, 14, PageLayout::Unit::In},
};

const char* const kSizesAccepted = "picture, native, A3, A4, A5, B5, Letter, Legal, or WIDTHxHEIGHT with one unit "
                                   "(mm, cm, in or pt), e.g. 100x150mm or 8.5x11in";

QString number(double v) { return QString::number(v, 'g', 10); }

bool unitOf(const QString& text, PageLayout::Unit* unit)
{
    const QString u = text.toLower();
    for (PageLayout::Unit candidate : {PageLayout::Unit::Mm, PageLayout::Unit::Cm, PageLayout::Unit::In, PageLayout::Unit::Pt}) {
        if (u == PageLayout::UnitText(candidate)) {
            *unit = candidate;
            return true;
        }
    }
    return false;
}

} // namespace

double PageLayout::Length::Points() const
{
    switch (unit) {
    case Unit::Mm: return value * 72.0 / 25.4;
    case Unit::Cm: return value * 720.0 / 25.4;
    case Unit::In: return value * 72.0;
    case Unit::Pt: return value;
    }
    return value;
}

QString PageLayout::Length::Text() const { return number(value) + UnitText(unit); }

QString PageLayout::UnitText(Unit unit)
{
    switch (unit) {
    case Unit::Mm: return QStringLiteral("mm");
    case Unit::Cm: return QStringLiteral("cm");
    case Unit::In: return QStringLiteral("in");
    case Unit::Pt: return QStringLiteral("pt");
    }
    return {};
}

bool PageLayout::ParseLength(const QString& text, Length* length, QString* error)
{
    static const QRegularExpression re(QStringLiteral("^\\s*(-?)\\s*(\\d+(?:\\.\\d*)?|\\.\\d+)\\s*([a-z]*)\\s*$"),
                                       QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = re.match(text);
    const QString accepted = QStringLiteral("a number with one unit: mm, cm, in or pt (e.g. 20mm or 0.5in)");
    if (!m.hasMatch()) {
        *error = QStringLiteral("\"%1\" is not a length; give %2").arg(text, accepted);
        return false;
    }
    Length l;
    l.value = m.captured(2).toDouble();
    if (!m.captured(1).isEmpty() && l.value != 0) {
        *error = QStringLiteral("\"%1\" is negative; give %2").arg(text, accepted);
        return false;
    }
    if (m.captured(3).isEmpty() && l.value != 0) {
        *error = QStringLiteral("\"%1\" has no unit; give %2").arg(text, accepted);
        return false;
    }
    if (!m.captured(3).isEmpty() && !unitOf(m.captured(3), &l.unit)) {
        *error = QStringLiteral("\"%1\" has an unknown unit \"%2\"; give %3").arg(text, m.captured(3), accepted);
        return false;
    }
    if (!std::isfinite(l.value) || l.Points() > kMaxSide) {
        *error = QStringLiteral("\"%1\" is too long; a length may be at most 200in (5080mm)").arg(text);
        return false;
    }
    *length = l;
    return true;
}

QString PageLayout::SizeText() const
{
    if (m_paper.isEmpty())
        return QStringLiteral("picture");
    if (m_paper != QLatin1String("custom"))
        return m_paper;
    return number(m_width.value) + "x" + number(m_height.value) + UnitText(m_width.unit);
}

double PageLayout::PaperWidth() const { return IsPictureSize() ? 0 : m_width.Points(); }
double PageLayout::PaperHeight() const { return IsPictureSize() ? 0 : m_height.Points(); }

void PageLayout::SetCustomSize(const Length& width, const Length& height)
{
    m_paper = QStringLiteral("custom");
    m_width = width;
    m_height = height;
}

bool PageLayout::SetSize(const QString& text, QString* error)
{
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("picture"), Qt::CaseInsensitive) == 0) {
        m_paper.clear();
        return true;
    }
    if (t.compare(QLatin1String("native"), Qt::CaseInsensitive) == 0) {
        m_paper = QStringLiteral("native");
        return true;
    }
    for (const Paper& p : kPapers) {
        if (t.compare(QLatin1String(p.name), Qt::CaseInsensitive) == 0) {
            m_paper = QLatin1String(p.name);
            m_width = {p.width, p.unit};
            m_height = {p.height, p.unit};
            return true;
        }
    }
    static const QRegularExpression re(QStringLiteral("^([^x]+?)\\s*x\\s*([^x]+)$"), QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = re.match(t);
    if (!m.hasMatch()) {
        *error = QStringLiteral("unknown page size \"%1\"; give %2").arg(text, kSizesAccepted);
        return false;
    }
    // One unit for both: "100x150mm"; the width's unit may be repeated.
    Length height;
    QString why;
    if (!ParseLength(m.captured(2), &height, &why)) {
        *error = QStringLiteral("page size \"%1\": %2").arg(text, why);
        return false;
    }
    QString w = m.captured(1).trimmed();
    Length width;
    if (!ParseLength(w, &width, &why) && !ParseLength(w + UnitText(height.unit), &width, &why)) {
        *error = QStringLiteral("page size \"%1\": %2").arg(text, why);
        return false;
    }
    if (width.unit != height.unit && w.back().isLetter()) {
        *error = QStringLiteral("page size \"%1\" mixes two units; give one, e.g. 100x150mm").arg(text);
        return false;
    }
    width.unit = height.unit;
    if (width.value <= 0 || height.value <= 0) {
        *error = QStringLiteral("page size \"%1\": the width and height must be more than 0").arg(text);
        return false;
    }
    SetCustomSize(width, height);
    return true;
}

QString PageLayout::OrientationText() const
{
    switch (orientation) {
    case Orientation::Auto: return QStringLiteral("auto");
    case Orientation::Portrait: return QStringLiteral("portrait");
    case Orientation::Landscape: return QStringLiteral("landscape");
    }
    return {};
}

bool PageLayout::SetOrientation(const QString& text, QString* error)
{
    for (Orientation o : {Orientation::Auto, Orientation::Portrait, Orientation::Landscape}) {
        PageLayout probe;
        probe.orientation = o;
        if (text.trimmed().compare(probe.OrientationText(), Qt::CaseInsensitive) == 0) {
            orientation = o;
            return true;
        }
    }
    *error = QStringLiteral("unknown orientation \"%1\"; give auto, portrait or landscape").arg(text);
    return false;
}

bool PageLayout::SetMargin(const QString& text, QString* error)
{
    Length l;
    QString why;
    if (!ParseLength(text, &l, &why)) {
        *error = QStringLiteral("margin: %1").arg(why);
        return false;
    }
    margin = l;
    return true;
}

QString PageLayout::FitText() const { return fit == Fit::Into ? QStringLiteral("into") : QStringLiteral("shrink"); }

bool PageLayout::SetFit(const QString& text, QString* error)
{
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("into"), Qt::CaseInsensitive) == 0)
        fit = Fit::Into;
    else if (t.compare(QLatin1String("shrink"), Qt::CaseInsensitive) == 0)
        fit = Fit::Shrink;
    else {
        *error = QStringLiteral("unknown fit \"%1\"; give into (scaled to fill the room inside the margins) "
                                "or shrink (never larger than at 200 ppi)")
                     .arg(text);
        return false;
    }
    return true;
}

QString PageLayout::MaxPpiText() const { return maxPpi > 0 ? QString::number(maxPpi) : QStringLiteral("none"); }

bool PageLayout::SetMaxPpi(const QString& text, QString* error)
{
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0) {
        maxPpi = 0;
        return true;
    }
    bool ok = false;
    const int n = t.toInt(&ok);
    if (!ok || n < 1 || n > 100000) {
        *error = QStringLiteral("the resolution limit must be a whole number of pixels per inch from 1 to 100000 "
                                "(or none), not \"%1\"")
                     .arg(text);
        return false;
    }
    maxPpi = n;
    return true;
}

QString PageLayout::Problem() const
{
    // The picture's own page grows by the margins: they must leave room for
    // a picture within the largest page.
    if (IsPictureSize() && kMaxSide - 2 * margin.Points() < 1)
        return QStringLiteral("the margin %1 leaves no room for a picture on a page of at most 200in (5080mm) a "
                              "side; give a margin less than 100in")
            .arg(margin.Text());
    if (IsPictureSize())
        return {};
    const double room = std::min(PaperWidth(), PaperHeight()) - 2 * margin.Points();
    // Less than a point left would place the picture as a speck.
    if (room < 1)
        return QStringLiteral("the margin %1 leaves no room on a page of %2; give a margin less than half "
                              "the paper's short side")
            .arg(margin.Text(), SizeText());
    if (std::max(PaperWidth(), PaperHeight()) > kMaxSide)
        return QStringLiteral("the page size %1 is larger than 200in (5080mm) a side").arg(SizeText());
    return {};
}

QString PageLayout::Warning() const
{
    if (maxPpi > 0 && maxPpi < kFewestPpi)
        return QStringLiteral("The resolution limit of %1 ppi puts every picture on its page at under %2 pixels per inch.")
            .arg(maxPpi)
            .arg(kFewestPpi);
    if (!IsPictureSize() && std::min(PaperWidth(), PaperHeight()) - 2 * margin.Points() < kInch)
        return QStringLiteral("The margin of %1 leaves less than 1 inch for the picture on a page of %2.")
            .arg(margin.Text(), SizeText());
    return {};
}

QString PageLayout::PictureWarning(int w, int h) const
{
    // On its own size a picture is drawn as it is, not made small by the layout.
    if (IsPictureSize() || w <= 0 || h <= 0)
        return {};
    const PagePlacement p = Place(w, h);
    QStringList why;
    // The limit's own figure, not the rounded pixels it leaves.
    const double ppi = std::min(w * kInch / p.picture.width, maxPpi > 0 ? double(maxPpi) : HUGE_VAL);
    if (ppi < kFewestPpi)
        why << QStringLiteral("at %1 pixels per inch").arg(std::floor(ppi * 10) / 10);
    if (std::max(p.picture.width, p.picture.height) < kInch)
        why << QStringLiteral("at only %1 x %2 in")
                   .arg(p.picture.width / kInch, 0, 'f', 2)
                   .arg(p.picture.height / kInch, 0, 'f', 2);
    return why.join(QStringLiteral(" and "));
}

QString PageLayout::PageProblem(const PagePlacement& placed)
{
    // (A designed side of 40,000 pixels is 14,400 points less a rounding.)
    if (std::max(placed.pageWidth, placed.pageHeight) <= kMaxSide + 1e-6)
        return {};
    return QStringLiteral("at 200 pixels per inch its page would be %1 x %2 in, more than the 200in (5080mm) a side "
                          "a PDF page may have; please choose a paper size, on which it is scaled to fit")
        .arg(placed.pageWidth / 72.0, 0, 'f', 1)
        .arg(placed.pageHeight / 72.0, 0, 'f', 1);
}

double PageLayout::NativePpi(double stated) { return stated >= 72 && stated <= 2400 ? stated : 200; }

PagePlacement PageLayout::Place(int w, int h, double ppiX, double ppiY) const
{
    PagePlacement p;
    p.pixelWidth = p.codedWidth = w;
    p.pixelHeight = p.codedHeight = h;
    if (w <= 0 || h <= 0)
        return p;
    const double m = margin.Points();
    // Points per pixel across and down.
    const double across = IsNativeSize() ? 72.0 / NativePpi(ppiX) : kNatural;
    const double down = IsNativeSize() ? 72.0 / NativePpi(ppiY) : kNatural;
    if (IsPictureSize()) {
        p.picture = {m, m, w * across, h * down};
        p.pageWidth = p.picture.width + 2 * m;
        p.pageHeight = p.picture.height + 2 * m;
    } else {
        const double shortSide = std::min(PaperWidth(), PaperHeight());
        const double longSide = std::max(PaperWidth(), PaperHeight());
        // Automatic: the paper's long side along the picture's; a square
        // picture stands upright.
        const bool landscape = orientation == Orientation::Landscape || (orientation == Orientation::Auto && w > h);
        p.pageWidth = landscape ? longSide : shortSide;
        p.pageHeight = landscape ? shortSide : longSide;
        double scale = std::min((p.pageWidth - 2 * m) / w, (p.pageHeight - 2 * m) / h);
        if (fit == Fit::Shrink)
            scale = std::min(scale, kNatural);
        p.picture.width = w * scale;
        p.picture.height = h * scale;
        p.picture.x = (p.pageWidth - p.picture.width) / 2;
        p.picture.y = (p.pageHeight - p.picture.height) / 2;
    }
    if (maxPpi > 0 && w * 72.0 / p.picture.width > maxPpi) {
        // Rounded down, so the page never lies finer than the limit.
        p.codedWidth = std::clamp(int(std::floor(p.picture.width / 72.0 * maxPpi + 1e-9)), 1, w);
        p.codedHeight = std::clamp(int(std::floor(p.picture.height / 72.0 * maxPpi + 1e-9)), 1, h);
    }
    // A native page at 200 ppi is the designed page.
    p.designed = IsPictureSize() && across == kNatural && down == kNatural && m == 0 && !p.Resampled();
    if (p.designed) {
        p.pageWidth = DesignedLength(w) * 72.0 / 254.0;
        p.pageHeight = DesignedLength(h) * 72.0 / 254.0;
        p.picture = {0, 0, p.pageWidth, p.pageHeight};
    }
    return p;
}

int PageLayout::DesignedLength(int pixels)
{
    // pixels * 254 / 200 = pixels * 127 / 100, in whole numbers so that
    // halves are exact; a half goes to the even neighbour.
    const qint64 scaled = qint64(pixels) * 127;
    const qint64 whole = scaled / 100, rest = scaled % 100;
    if (rest > 50 || (rest == 50 && (whole & 1)))
        return int(whole + 1);
    return int(whole);
}

bool PageLayout::operator==(const PageLayout& o) const
{
    return SizeText() == o.SizeText() && orientation == o.orientation && margin.Text() == o.margin.Text() &&
           fit == o.fit && maxPpi == o.maxPpi && rotatePages == o.rotatePages && deskew == o.deskew;
}
