#pragma once
#include "engine/job/FolderWalk.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <vector>

class QThread;

// The header check of pictures just added (HeaderCheck), on a worker
// thread, so the window stays responsive however many were added. Each
// add ends in one Found() on the owner's thread, with the entries that
// could not be read (and so were not added) and the pictures that will
// not make a page; nothing when there are none.
class AddCheck : public QObject {
    Q_OBJECT
public:
    // What an add found, in the order added.
    struct Problems {
        QList<FolderWalk::Unreadable> unreadable; // not added
        QStringList paths, reasons;               // added, but will make no page
        bool IsEmpty() const { return unreadable.isEmpty() && paths.isEmpty(); }
        void Append(const Problems& more);
    };

    explicit AddCheck(QObject* parent = nullptr);
    ~AddCheck() override; // waits for the batches still running

    void Check(const QStringList& paths, const QList<FolderWalk::Unreadable>& unreadable = {});

    // The one message for an add: the first few of each kind with their
    // reasons, and how many there are in all.
    static QString Message(const Problems& found);
    static constexpr int NamedAtMost = 5;

signals:
    void Found(const AddCheck::Problems& found);

private:
    std::vector<QThread*> m_threads;
};
