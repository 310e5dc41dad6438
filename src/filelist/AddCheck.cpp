#include "filelist/AddCheck.h"

#include "engine/picture/HeaderCheck.h"
#include "platform/QuotedPath.h"

#include <QPointer>
#include <QThread>

#include <algorithm>

AddCheck::AddCheck(QObject* parent) : QObject(parent) {}

AddCheck::~AddCheck()
{
    for (QThread* t : m_threads) {
        t->wait();
        delete t;
    }
}

void AddCheck::Problems::Append(const Problems& more)
{
    unreadable += more.unreadable;
    paths += more.paths;
    reasons += more.reasons;
}

void AddCheck::Check(const QStringList& paths, const QList<FolderWalk::Unreadable>& unreadable)
{
    QPointer<AddCheck> self(this);
    // Told on the owner's thread, after the add; dropped if the owner has gone.
    const auto tell = [self, this](const Problems& found) {
        if (found.IsEmpty())
            return;
        QMetaObject::invokeMethod(this, [self, found]() {
            if (self)
                emit self->Found(found);
        }, Qt::QueuedConnection);
    };
    if (paths.isEmpty()) {
        tell({unreadable, {}, {}});
        return;
    }
    QThread* thread = QThread::create([tell, paths, unreadable]() {
        Problems found{unreadable, {}, {}};
        for (const QString& p : paths) {
            const QString why = HeaderCheck::Problem(p);
            if (!why.isEmpty()) {
                found.paths << p;
                found.reasons << why;
            }
        }
        tell(found);
    });
    // A finished batch's thread is freed at the next one, or at the end.
    for (auto it = m_threads.begin(); it != m_threads.end();) {
        if ((*it)->isFinished()) {
            delete *it;
            it = m_threads.erase(it);
        } else {
            ++it;
        }
    }
    m_threads.push_back(thread);
    thread->start(QThread::LowPriority);
}

QString AddCheck::Message(const Problems& found)
{
    QStringList parts;
    const QList<FolderWalk::Unreadable>& unreadable = found.unreadable;
    if (unreadable.size() == 1) {
        parts << QStringLiteral("%1 could not be read (%2), so it was not added.")
                     .arg(QuotedPath(unreadable[0].path), unreadable[0].reason);
    } else if (!unreadable.isEmpty()) {
        // The first few by name: a whole tree of them would not fit on a screen.
        constexpr int kNamed = 3;
        QStringList named;
        for (const FolderWalk::Unreadable& u : unreadable.mid(0, kNamed))
            named << QStringLiteral("%1 (%2)").arg(QuotedPath(u.path), u.reason);
        const qsizetype more = unreadable.size() - named.size();
        parts << QStringLiteral("%1 entries could not be read, so they were not added: %2%3.")
                     .arg(unreadable.size())
                     .arg(named.join(QStringLiteral(", ")))
                     .arg(more > 0 ? QStringLiteral(" and %1 more").arg(more) : QString());
    }
    const int n = int(found.paths.size());
    if (n > 0) {
        QString text = n == 1 ? QStringLiteral("This picture will not make a page:")
                              : QStringLiteral("%1 of the pictures just added will not make a page:").arg(n);
        for (int i = 0; i < std::min(n, NamedAtMost); ++i)
            text += QStringLiteral("\n%1: %2.").arg(QuotedPath(found.paths[i]), found.reasons.value(i));
        if (n > NamedAtMost)
            text += QStringLiteral("\nand %1 more.").arg(n - NamedAtMost);
        parts << text + QStringLiteral("\n\nThey stay in the list; Remove takes one away.");
    }
    return parts.join(QStringLiteral("\n\n"));
}
