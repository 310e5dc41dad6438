#include "filelist/FileSearch.h"

#include "filelist/ListCollation.h"

#include <QDir>
#include <QFileInfo>
#include <QListWidget>
#include <QPointer>
#include <algorithm>

namespace FileSearch {

bool IsPictureName(const QString& name)
{
    static const char* const suffixes[] = {".bmp", ".jpg", ".gif", ".png", ".tif", ".tiff", ".jpeg"};
    for (const char* s : suffixes) {
        if (name.endsWith(QLatin1String(s), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

QString JoinPath(const QString& folder, const QString& name)
{
    if (folder.endsWith(QLatin1Char('/')))
        return folder + name;
    return folder + QLatin1Char('/') + name;
}

QStringList ListFolder(const QString& folder)
{
    QDir dir(folder);
    if (!dir.exists())
        return {};
    QStringList names = dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                      QDir::Unsorted);
    const QCollator collator = ListCollator(true);
    // Names equal under the collation (a.jpg, A.jpg) keep a fixed order.
    std::sort(names.begin(), names.end(), [&collator](const QString& a, const QString& b) {
        const int c = collator.compare(a, b);
        return c != 0 ? c < 0 : a < b;
    });
    return names;
}

static bool isSearchedFolder(const QFileInfo& info)
{
    return !info.isSymLink() && info.isDir() && !info.fileName().startsWith(QLatin1Char('.'));
}

bool SearchFolder(const QString& folder, const AppendFunction& append, const YieldFunction& yield)
{
    // Every subfolder is remembered and searched, however many there are.
    QStringList subfolders;
    const QStringList names = ListFolder(folder);
    for (const QString& name : names) {
        const QString path = JoinPath(folder, name);
        const QFileInfo info(path);
        if (isSearchedFolder(info)) {
            subfolders.append(path);
        } else if (IsPictureName(name)) {
            if (!append(path))
                return false;
        }
        if (yield) {
            yield();
            yield();
        }
    }
    for (const QString& sub : subfolders) {
        if (!SearchFolder(sub, append, yield))
            return false;
    }
    return true;
}

bool SearchFolder(const QString& folder, QListWidget& list)
{
    QPointer<QListWidget> target(&list);
    return SearchFolder(folder, [target](const QString& path) {
        if (!target || target->count() >= 32767)
            return false;
        target->addItem(path);
        return true;
    });
}

} // namespace FileSearch
