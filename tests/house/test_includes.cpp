// The engine's rooms use one another one way only: job may use pdf and
// picture, pdf may use picture, picture uses neither; none of them, nor the
// helper programs or velunor-convert, reaches into a window folder.
#include <gtest/gtest.h>

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>

namespace {

// Longest prefix first, so platform/widgets is not taken for platform.
const QStringList kRooms = {"engine/picture", "engine/pdf", "engine/job", "platform/widgets", "platform",
                            "decoder", "docinfo", "join", "ocr", "preview", "filelist", "mainwindow", "app", "cli"};

QString roomOf(const QString& path)
{
    for (const QString& room : kRooms)
        if (path.startsWith(room + "/"))
            return room;
    return {};
}

// What each room may include besides itself; a room not named here may
// include anything.
const QMap<QString, QStringList> kAllowed = {
    {"engine/picture", {"platform"}},
    {"engine/pdf", {"engine/picture", "platform"}},
    {"engine/job", {"engine/pdf", "engine/picture", "platform"}},
    {"platform", {}},
    {"platform/widgets", {"platform"}},
    {"decoder", {"engine/picture", "platform"}},
    {"ocr", {"engine/picture", "platform"}},
    {"docinfo", {"engine/pdf", "engine/picture", "platform"}},
    {"join", {"platform"}}, // header-only facilities: velunor-join links no Qt
    {"cli", {"engine/job", "engine/pdf", "engine/picture", "platform"}},
};

} // namespace

// Every quoted include whose room may not use the included one fails.
TEST(House, IncludesRunOneWay)
{
    static const QRegularExpression includeLine(R"re(^\s*#\s*include\s*"([^"]+)")re");
    const QString src = VELUNOR_SOURCE_DIR;
    int seen = 0;
    QDirIterator it(src, {"*.h", "*.cpp"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString rel = path.mid(src.size() + 1), from = roomOf(rel);
        if (from.isEmpty() && rel.startsWith("engine/"))
            ADD_FAILURE() << qPrintable(rel) << " lies outside the engine's three rooms";
        QFile f(path);
        if (from.isEmpty() || !f.open(QIODevice::ReadOnly))
            continue;
        const QStringList ok = kAllowed.value(from, kRooms) + QStringList{from};
        for (const QByteArray& line : f.readAll().split('\n')) {
            const auto m = includeLine.match(QString::fromUtf8(line));
            if (!m.hasMatch())
                continue;
            ++seen;
            const QString to = roomOf(m.captured(1));
            if (!to.isEmpty() && !ok.contains(to))
                ADD_FAILURE() << qPrintable(rel) << " includes " << qPrintable(m.captured(1));
        }
    }
    EXPECT_GT(seen, 100) << "the source tree was not found at " << VELUNOR_SOURCE_DIR;
}
