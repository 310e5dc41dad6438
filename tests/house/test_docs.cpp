// The documents stay whole: every relative link of README.md and docs/*.md
// leads to a file (and heading) that exists, every option velunor-convert
// --help prints is in README's options table and in its man page, so an
// option cannot be added to the program alone, README stays a short front
// door, and the testing notes name exactly the test helpers there are.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>

namespace {

const QString kRepo = VELUNOR_REPO_DIR;

QString readText(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// Lines outside fenced and indented code blocks, with inline code removed
// (so that code showing brackets is not taken for a link) or, for headings,
// only its marks.
QStringList proseLines(const QString& markdown, bool keepCodeText = false)
{
    static const QRegularExpression codeSpan("`[^`]*`");
    QStringList out;
    bool fenced = false;
    for (QString line : markdown.split('\n')) {
        if (line.startsWith("```")) {
            fenced = !fenced;
            continue;
        }
        if (fenced || line.startsWith("    ") || line.startsWith('\t'))
            continue;
        out << (keepCodeText ? line.remove('`') : line.remove(codeSpan));
    }
    return out;
}

// The anchors a Markdown renderer (GitHub's rules) gives the headings.
QSet<QString> anchorsOf(const QString& markdown)
{
    static const QRegularExpression heading(R"(^#{1,6}\s+(.*?)\s*#*\s*$)");
    static const QRegularExpression dropped(R"([^\w\- ])", QRegularExpression::UseUnicodePropertiesOption);
    QSet<QString> anchors;
    QMap<QString, int> seen;
    for (const QString& line : proseLines(markdown, true)) {
        const auto m = heading.match(line);
        if (!m.hasMatch())
            continue;
        QString slug = m.captured(1).toLower().remove(dropped).replace(' ', '-');
        const int n = seen[slug]++;
        anchors.insert(n ? slug + "-" + QString::number(n) : slug);
    }
    return anchors;
}

// The option forms (-o, --output-dir) of each option line of Qt's help.
QStringList helpOptions(const QString& help)
{
    static const QRegularExpression optionLine(R"(^  (-\S.*?)(?:\s{2,}|$))");
    static const QRegularExpression form(R"((?<![\w-])--?[A-Za-z0-9][\w-]*)");
    QStringList forms;
    for (const QString& line : help.split('\n')) {
        const auto m = optionLine.match(line);
        for (auto it = form.globalMatch(m.captured(1)); m.hasMatch() && it.hasNext();)
            forms << it.next().captured(0);
    }
    return forms;
}

// The lines of one part of a document: from the line `start` matches to the
// next line `end` matches.
QStringList section(const QString& text, const QRegularExpression& start, const QRegularExpression& end)
{
    QStringList out;
    bool in = false;
    for (const QString& line : text.split('\n')) {
        if (in && end.match(line).hasMatch())
            break;
        in = in || start.match(line).hasMatch();
        if (in)
            out << line;
    }
    return out;
}

} // namespace

TEST(Docs, EveryRelativeLinkLeadsToAFileAndHeadingThatExist)
{
    static const QRegularExpression link(R"(\[[^\]]*\]\(<?([^)\s>]+)>?(?:\s+"[^"]*")?\))");
    static const QRegularExpression scheme("^[A-Za-z][A-Za-z0-9+.-]*:");
    QStringList docs = {kRepo + "/README.md"};
    for (const QString& name : QDir(kRepo + "/docs").entryList({"*.md"}, QDir::Files))
        docs << kRepo + "/docs/" + name;
    int links = 0;
    for (const QString& doc : docs) {
        const QString text = readText(doc), rel = doc.mid(kRepo.size() + 1);
        ASSERT_FALSE(text.isEmpty()) << qPrintable(rel);
        for (const QString& line : proseLines(text))
            for (auto it = link.globalMatch(line); it.hasNext();) {
                const QString target = it.next().captured(1);
                if (scheme.match(target).hasMatch())
                    continue;
                ++links;
                const QString file = target.section('#', 0, 0), anchor = target.section('#', 1);
                const QString path = file.isEmpty() ? doc : QFileInfo(doc).dir().filePath(file);
                if (!QFileInfo::exists(path)) {
                    ADD_FAILURE() << qPrintable(rel) << " links to " << qPrintable(target) << ", which does not exist";
                    continue;
                }
                if (!anchor.isEmpty() && path.endsWith(".md") && !anchorsOf(readText(path)).contains(anchor))
                    ADD_FAILURE() << qPrintable(rel) << " links to " << qPrintable(target) << ": no such heading";
            }
    }
    EXPECT_GT(links, 5);
}

TEST(Docs, EveryHelpOptionIsInReadmeTableAndManPage)
{
    QProcess convert;
    convert.start(QCoreApplication::applicationDirPath() + "/velunor-convert", {"--help"});
    ASSERT_TRUE(convert.waitForFinished(-1));
    const QStringList forms = helpOptions(QString::fromUtf8(convert.readAllStandardOutput()));
    ASSERT_GE(forms.size(), 3) << "no options read from --help";

    // README: table rows of its velunor-convert part, the option in code.
    const QStringList readme = section(readText(kRepo + "/README.md"), QRegularExpression("^## velunor-convert"),
                                       QRegularExpression("^## "))
                                   .filter(QRegularExpression(R"(^\s*\|)"));
    // Man page: the bold lines of its OPTIONS section, with roff's \- read as -.
    const QString man = section(readText(kRepo + "/docs/man/velunor-convert.1"), QRegularExpression(R"(^\.SH\s+OPTIONS)"),
                                QRegularExpression(R"(^\.SH\s)"))
                            .filter(QRegularExpression(R"(^\.B[IR]?\s)"))
                            .join('\n')
                            .replace("\\-", "-");
    for (const QString& opt : forms) {
        const QString e = QRegularExpression::escape(opt);
        EXPECT_FALSE(readme.filter(QRegularExpression("`" + e + "(?:[ =][^`]*)?`")).isEmpty())
            << qPrintable(opt) << " is missing from README's options table";
        EXPECT_TRUE(man.contains(QRegularExpression("(?<![\\w-])" + e + "(?![\\w-])")))
            << qPrintable(opt) << " is missing from the OPTIONS of docs/man/velunor-convert.1";
    }
}

// As `wc -w` counts: the front door stays short; the rest belongs in docs/.
TEST(Docs, ReadmeStaysShort)
{
    const QStringList words = readText(kRepo + "/README.md").split(QRegularExpression(R"(\s+)"), Qt::SkipEmptyParts);
    EXPECT_LE(words.size(), 1500) << "README.md has " << words.size() << " words; move the details to docs/";
}

// The helpers' table in docs/testing.md and the programs of tests/helpers/.
TEST(Docs, TestingNotesNameEveryTestHelper)
{
    static const QRegularExpression helper(R"(\bvlnh2_[a-z0-9_]+)");
    QSet<QString> present, named;
    for (const QFileInfo& f : QDir(kRepo + "/tests/helpers").entryInfoList({"vlnh2_*"}, QDir::Files))
        present.insert(f.completeBaseName());
    for (auto it = helper.globalMatch(readText(kRepo + "/docs/testing.md")); it.hasNext();)
        named.insert(it.next().captured(0));
    ASSERT_FALSE(present.isEmpty());
    for (const QString& h : present - named)
        ADD_FAILURE() << qPrintable(h) << " (tests/helpers/) is not in docs/testing.md";
    for (const QString& h : named - present)
        ADD_FAILURE() << "docs/testing.md names " << qPrintable(h) << ", which tests/helpers/ does not hold";
}
