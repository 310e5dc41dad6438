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

void AddCheck::Check(const QStringList& paths)
{
    if (paths.isEmpty())
        return;
    QPointer<AddCheck> self(this);
    QThread* thread = QThread::create([self, paths, this]() {
        QStringList bad, reasons;
        for (const QString& p : paths) {
            const QString why = HeaderCheck::Problem(p);
            if (!why.isEmpty()) {
                bad << p;
                reasons << why;
            }
        }
        if (bad.isEmpty())
            return;
        // Told on the owner's thread; dropped if the owner has gone.
        QMetaObject::invokeMethod(this, [self, bad, reasons]() {
            if (self)
                emit self->Found(bad, reasons);
        }, Qt::QueuedConnection);
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

QString AddCheck::Message(const QStringList& paths, const QStringList& reasons)
{
    const int n = int(paths.size());
    QString text = n == 1 ? QStringLiteral("This picture will not make a page:")
                          : QStringLiteral("%1 of the pictures just added will not make a page:").arg(n);
    for (int i = 0; i < std::min(n, NamedAtMost); ++i)
        text += QStringLiteral("\n%1: %2.").arg(QuotedPath(paths[i]), reasons.value(i));
    if (n > NamedAtMost)
        text += QStringLiteral("\nand %1 more.").arg(n - NamedAtMost);
    return text + QStringLiteral("\n\nThey stay in the list; Remove takes one away.");
}
