#pragma once
#include <QObject>
#include <QString>
#include <QStringList>

#include <vector>

class QThread;

// The header check of pictures just added (HeaderCheck), on a worker
// thread, so the window stays responsive however many were added. Each
// batch ends in one Found() on the owner's thread, with the pictures that
// will not make a page; nothing when all passed.
class AddCheck : public QObject {
    Q_OBJECT
public:
    explicit AddCheck(QObject* parent = nullptr);
    ~AddCheck() override; // waits for the batches still running

    void Check(const QStringList& paths);

    // The one message for a batch: the first few pictures with their
    // reasons, and how many there are in all.
    static QString Message(const QStringList& paths, const QStringList& reasons);
    static constexpr int NamedAtMost = 5;

signals:
    // Paths and their reasons, in the order added.
    void Found(const QStringList& paths, const QStringList& reasons);

private:
    std::vector<QThread*> m_threads;
};
