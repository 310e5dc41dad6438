#pragma once
// A text page drawn with a known layout, and how much of it a PDF's text
// layer gives back: shared by the text-layer tests and the benchmark.
#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <QRectF>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTransform>
#include <QVector>

#include <algorithm>
#include <cmath>
#include <vector>

namespace textpage {

struct DrawnWord {
    QString text;
    QRectF box; // pixels, from the top left: advance by ascent + descent
};

// Plain prose (a reader's dictionary helps, as on real pages), no markup
// characters, so pdftotext's words compare as they are.
inline QStringList sampleWords()
{
    static const char* text =
        "When the old harbour town woke up that morning, the fishermen were already back with their boats. "
        "Nobody in the village could remember a winter as mild as this one, and the children played outside "
        "until late in the evening. The baker opened his shop at six, as he had done for forty years, and the "
        "smell of fresh bread filled the narrow streets between the houses. Later the postman came by with a "
        "heavy parcel for the school teacher, who had ordered new books for her pupils. She carried them into "
        "the classroom and put them on the shelves next to the window. In the afternoon a storm came in from "
        "the west, and the sky turned dark within minutes. The boats were pulled high onto the beach, and the "
        "nets were hung up to dry in the large wooden shed behind the church. By nine o'clock the rain had "
        "stopped, and the first stars could be seen above the hills. The mayor walked along the quay with his "
        "dog and spoke to everyone he met about the repairs that were planned for the spring. Most of the "
        "people agreed that the old bridge should be rebuilt before the summer visitors arrived, because the "
        "road to the lighthouse was the only way to reach the northern beaches. The council would meet again "
        "next Tuesday to decide how much money could be spent on the work, and who would be asked to do it. "
        "Meanwhile the fishermen repaired their nets, painted their boats, and waited for calmer weather, "
        "as their fathers and grandfathers had done before them for more than two hundred years.";
    return QString::fromLatin1(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// An A4 page at `dpi`, black DejaVu Sans at `points` on white, the words
// of sampleWords() set in lines, in `columns` columns read one after the
// other; *words gets each word's box.
inline QImage drawPage(int dpi, QVector<DrawnWord>* words, int columns = 1, double points = 11)
{
    static const int family = QFontDatabase::addApplicationFont(
        QStringLiteral("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"));
    const QStringList families = QFontDatabase::applicationFontFamilies(family);
    QFont font(families.value(0, QStringLiteral("DejaVu Sans")));
    font.setPixelSize(qRound(points * dpi / 72));
    const int w = qRound(210 / 25.4 * dpi), h = qRound(297 / 25.4 * dpi);
    QImage page(w, h, QImage::Format_Grayscale8);
    page.fill(Qt::white);
    page.setDotsPerMeterX(qRound(dpi / 0.0254));
    page.setDotsPerMeterY(qRound(dpi / 0.0254));
    QPainter p(&page);
    p.setFont(font);
    p.setPen(Qt::black);
    const QFontMetricsF fm(font, &page);
    const double margin = dpi * 1.0, line = fm.height() * 1.5, space = fm.horizontalAdvance(QLatin1Char(' '));
    const double gap = dpi * 0.4, width = (w - 2 * margin - (columns - 1) * gap) / columns;
    double left = margin, x = margin, y = margin + fm.ascent();
    for (const QString& word : sampleWords()) {
        const double advance = fm.horizontalAdvance(word);
        if (x + advance > left + width) {
            x = left;
            y += line;
        }
        if (y > h - margin && left + width + gap < w - margin) { // the next column
            left += width + gap;
            x = left;
            y = margin + fm.ascent();
        }
        p.drawText(QPointF(x, y), word);
        words->push_back({word, QRectF(x, y - fm.ascent(), advance, fm.ascent() + fm.descent())});
        x += advance + space;
    }
    return page;
}

// `page` turned clockwise by `degrees` about its centre on white paper, its
// size kept (a quarter turn swaps the sides), as a scanner feeds it askew.
inline QImage turned(const QImage& page, double degrees)
{
    const QTransform turn = QTransform().rotate(degrees);
    const QRect box = turn.mapRect(QRect(QPoint(), page.size()));
    const bool quarter = std::fmod(degrees, 180) == 90;
    QImage out(quarter ? page.height() : page.width(), quarter ? page.width() : page.height(), QImage::Format_Grayscale8);
    out.fill(Qt::white);
    out.setDotsPerMeterX(page.dotsPerMeterX());
    out.setDotsPerMeterY(page.dotsPerMeterY());
    QPainter p(&out);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.translate((out.width() - box.width()) / 2.0 - box.x(), (out.height() - box.height()) / 2.0 - box.y());
    p.setTransform(turn, true);
    p.drawImage(0, 0, page);
    return out;
}

struct Score {
    int expected = 0;
    int found = 0;   // in reading order (the longest common run of words)
    int inPlace = 0; // of those found, the ones whose box centre lies in the drawn box
};

// Word boxes of `pdftotext -bbox` output (points from the top left).
struct ReadWord {
    QString text;
    QRectF box;
};
inline std::vector<ReadWord> bboxWords(const QString& xhtml)
{
    static const QRegularExpression re(QStringLiteral(
        "<word xMin=\"([0-9.]+)\" yMin=\"([0-9.]+)\" xMax=\"([0-9.]+)\" yMax=\"([0-9.]+)\">([^<]*)</word>"));
    std::vector<ReadWord> out;
    for (auto it = re.globalMatch(xhtml); it.hasNext();) {
        const auto m = it.next();
        const double x0 = m.captured(1).toDouble(), y0 = m.captured(2).toDouble();
        out.push_back({m.captured(5).replace(QStringLiteral("&apos;"), QStringLiteral("'")),
                       QRectF(x0, y0, m.captured(3).toDouble() - x0, m.captured(4).toDouble() - y0)});
    }
    return out;
}

// Pairs of (drawn, read) indices along the longest common subsequence.
inline std::vector<std::pair<int, int>> align(const QVector<DrawnWord>& drawn, const std::vector<ReadWord>& read)
{
    const size_t n = size_t(drawn.size()), m = read.size();
    std::vector<std::vector<int>> l(n + 1, std::vector<int>(m + 1, 0));
    for (size_t i = n; i-- > 0;)
        for (size_t j = m; j-- > 0;)
            l[i][j] = drawn[int(i)].text == read[j].text ? l[i + 1][j + 1] + 1 : std::max(l[i + 1][j], l[i][j + 1]);
    std::vector<std::pair<int, int>> pairs;
    for (size_t i = 0, j = 0; i < n && j < m;) {
        if (drawn[int(i)].text == read[j].text)
            pairs.emplace_back(int(i++), int(j++));
        else if (l[i + 1][j] >= l[i][j + 1])
            ++i;
        else
            ++j;
    }
    return pairs;
}

// `raw`: pdftotext -raw's text; `xhtml`: pdftotext -bbox's. The picture of
// pixelsWide pixels fills the page's width (scale from its points) unless
// `pointsPerPixel` and the offset are given.
inline Score score(const QVector<DrawnWord>& drawn, const QString& raw, const QString& xhtml, double pointsPerPixel,
                   QPointF offset = {})
{
    Score s;
    s.expected = int(drawn.size());
    std::vector<ReadWord> rawWords;
    for (const QString& t : raw.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts))
        rawWords.push_back({t, {}});
    s.found = int(align(drawn, rawWords).size());
    const std::vector<ReadWord> boxed = bboxWords(xhtml);
    for (const auto& [d, r] : align(drawn, boxed)) {
        const QRectF b = drawn[d].box;
        const QRectF onPage(offset.x() + b.x() * pointsPerPixel, offset.y() + b.y() * pointsPerPixel,
                            b.width() * pointsPerPixel, b.height() * pointsPerPixel);
        if (onPage.contains(boxed[size_t(r)].box.center()))
            ++s.inPlace;
    }
    return s;
}

} // namespace textpage
