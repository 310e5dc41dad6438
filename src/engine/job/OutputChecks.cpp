#include "engine/job/OutputChecks.h"

#include "engine/job/OutputPlacement.h"
#include "engine/job/ToolkitSteps.h"
#include "engine/picture/HeaderCheck.h"
#include "platform/ProgramName.h"
#include "platform/QuotedPath.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

// Use qpdf without its deprecated PointerHolder API.
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>

#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

QString OutputChecks::TitleProblem(const QString& title)
{
    if (title.isEmpty())
        return QStringLiteral("Please type a document title: it names the output file.");
    if (title == QLatin1String(".") || title == QLatin1String(".."))
        return QStringLiteral("The document title \"%1\" cannot name a file. Please type another title.").arg(title);
    if (title.contains(QLatin1Char('/')))
        return QStringLiteral("The document title \"%1\" cannot name a file because it holds \"/\". "
                              "Please type another title.").arg(title);
    for (const QChar c : title) {
        // A line break or another control character in a file name breaks
        // every list of names (ls, scripts, file managers).
        if (c.category() == QChar::Other_Control)
            return QStringLiteral("The document title cannot name a file because it holds %1. "
                                  "Please type another title.")
                .arg(c == QLatin1Char('\n') || c == QLatin1Char('\r')
                         ? QStringLiteral("a line break")
                         : QStringLiteral("a control character (U+%1)")
                               .arg(QString::number(c.unicode(), 16).rightJustified(4, QLatin1Char('0')).toUpper()));
    }
    // 255 bytes is the longest name the usual Linux file systems take.
    if (QFile::encodeName(title + QStringLiteral(".pdf")).size() > 255)
        return QStringLiteral("The document title is too long to name a file. Please type a shorter title.");
    return {};
}

bool OutputChecks::CheckDocument(const QString& pdf, int pages, const DocumentInfo& info, QString* problem)
{
    auto say = [problem](const QString& text) {
        if (problem)
            *problem = text;
        return false;
    };
    if (!QFileInfo(pdf).isFile())
        return say(QStringLiteral("The finished document %1 was not written.").arg(pdf));
    try {
        QPDF doc;
        doc.setSuppressWarnings(true);
        doc.processFile(QFile::encodeName(pdf).constData());
        const auto count = QPDFPageDocumentHelper(doc).getAllPages().size();
        if (count != size_t(pages))
            return say(QStringLiteral("The finished document holds %1 of its %2 pages.").arg(count).arg(pages));
        QPDFObjectHandle dict = doc.getTrailer().getKey("/Info");
        if (!dict.isDictionary())
            return say(QStringLiteral("The document information was not written into the finished document."));
        const std::pair<const char*, QString> fields[] = {
            {"/Title", info.title},       {"/Author", info.author},
            {"/Subject", info.subject},   {"/Keywords", info.keywords},
            {"/CreationDate", info.creationDate}, {"/Creator", QString(ProgramName)},
            {"/Producer", QString(ProgramName)},
        };
        for (const auto& [key, expected] : fields) {
            QPDFObjectHandle v = dict.getKey(key);
            // Our information step writes the text as given, on one line.
            // (Compared as bytes: a byte order mark opening a title is text,
            // which decoding the bytes into a QString would drop.)
            const bool right = v.isString() && v.getUTF8Value() == ToolkitSteps::OneLine(expected).toUtf8().toStdString();
            if (!right)
                return say(QStringLiteral("The document information (%1) was not written into the finished document.")
                               .arg(QString::fromLatin1(key + 1)));
        }
    } catch (const std::exception& e) {
        return say(QStringLiteral("The finished document is not a readable PDF: %1").arg(QString::fromLocal8Bit(e.what())));
    }
    return true;
}

QString OutputChecks::SidecarProblem(const QString& sidecar, const QString& document, bool searchable)
{
    const QFileInfo file(sidecar);
    if (!searchable)
        return QStringLiteral("The words of the pages can be written to %1 only when the text is read (searchable pages).")
            .arg(sidecar);
    // Compared through the folders' real paths: a link to the output folder
    // must not let the words replace the document they came with.
    const auto place = [](const QFileInfo& f) {
        const QString folder = QFileInfo(f.absolutePath()).canonicalFilePath();
        return (folder.isEmpty() ? f.absolutePath() : folder) + QLatin1Char('/') + f.fileName();
    };
    if (place(file) == place(QFileInfo(document)))
        return QStringLiteral("The words of the pages cannot go to %1: that is the document itself.").arg(sidecar);
    const OutputPlacement::Entry entry = OutputPlacement::EntryAt(sidecar);
    if (entry == OutputPlacement::Entry::Folder || entry == OutputPlacement::Entry::Other)
        return QStringLiteral("The words of the pages cannot go to %1: it is a %2.")
            .arg(sidecar, entry == OutputPlacement::Entry::Folder ? QStringLiteral("folder")
                                                                   : QStringLiteral("special file (a device, pipe or socket)"));
    const QByteArray folder = QFile::encodeName(file.absolutePath());
    if (::access(folder.constData(), W_OK | X_OK) != 0)
        return QStringLiteral("The words of the pages cannot go to %1: its folder %2 %3.")
            .arg(sidecar, file.absolutePath(),
                 errno == ENOENT ? QStringLiteral("does not exist")
                                 : QStringLiteral("cannot be written (%1)").arg(QString::fromLocal8Bit(std::strerror(errno))));
    return {};
}

bool OutputChecks::MakeOutputFolder(const QString& folder, QString* error)
{
    if (folder.isEmpty()) {
        *error = QStringLiteral("No output folder is given. Please choose the folder for the document.");
        return false;
    }
    const QByteArray f8 = QFile::encodeName(folder);
    if (::mkdir(f8.constData(), 0755) == 0)
        return true;
    int err = errno;
    if (QFileInfo(folder).isDir()) {
        // Said now, not after every page has been made and joined.
        if (::access(f8.constData(), W_OK | X_OK) == 0)
            return true;
        *error = QStringLiteral("The output folder %1 cannot be written: %2.")
                     .arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (err == ENOENT || err == ENOTDIR) {
        // Missing folders along the way are made, as mkdir -p would; a file
        // standing where one of them should be is named.
        const QStringList parts = folder.split(QLatin1Char('/'));
        QString path;
        for (int k = 0; k < parts.size(); ++k) {
            path += (k ? QStringLiteral("/") : QString()) + parts[k];
            if (parts[k].isEmpty() || parts[k] == QLatin1String("."))
                continue;
            const QByteArray p8 = QFile::encodeName(path);
            if (::mkdir(p8.constData(), 0755) == 0 || QFileInfo(path).isDir()) {
                err = 0;
                continue;
            }
            err = errno;
            if (err == EEXIST || err == ENOTDIR) {
                *error = QStringLiteral("The output folder %1 could not be made: %2 is a file, in the way.").arg(folder, path);
                return false;
            }
            break;
        }
        if (err == 0)
            return true;
    }
    if (err == EEXIST)
        *error = QStringLiteral("The output folder %1 could not be made: a file of that name is in the way.").arg(folder);
    else
        *error = QStringLiteral("The output folder %1 could not be made: %2.")
                     .arg(folder, QString::fromLocal8Bit(std::strerror(err)));
    return false;
}

QString OutputChecks::SmallPictures(const JobInputs& in, const PageLayout& layout, const YieldFunction& yield)
{
    if (layout.IsPictureSize())
        return {};
    constexpr int kNamed = 3;
    QStringList named;
    int count = 0;
    for (int i = 0; i < in.EntryCount(); ++i) {
        qint64 w = 0, h = 0;
        const QString path = in.Entry(i);
        if (HeaderCheck::DeclaredSize(path, &w, &h) && w <= INT_MAX && h <= INT_MAX) {
            const QString why = layout.PictureWarning(int(w), int(h));
            if (!why.isEmpty() && ++count <= kNamed)
                named << QuotedPath(path) + QLatin1Char(' ') + why;
        }
        if (yield)
            yield();
    }
    if (count == 0)
        return {};
    if (count == 1)
        return QStringLiteral("The layout puts %1 on its page.").arg(named[0]);
    return QStringLiteral("The layout puts %1 pictures on their pages at under 36 pixels per inch or under 1 inch: %2%3.")
        .arg(count)
        .arg(named.join(QStringLiteral(", ")))
        .arg(count > kNamed ? QStringLiteral(" and %1 more").arg(count - kNamed) : QString());
}
