// Folder search over a tree of 10,000 files in 500 folders, as "Add Folder"
// runs it in the window: time, and the window's responsiveness as the
// longest gap between two event-loop passes. Also Sort over the result and
// over the largest list, then the header check of 2,000 pictures added.
#include "LoadAverage.h"
#include "filelist/AddCheck.h"
#include "filelist/FileListController.h"
#include "filelist/FileSearch.h"
#include "platform/widgets/CCommonDialogs.h"
#include "platform/MessageSink.h"

#include <QApplication>
#include <QBuffer>
#include <QImage>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QTimer>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>

namespace {

// Counts event-loop passes: a posted event that posts itself again is
// delivered once per pass, so the time between deliveries is what a user
// waits for the window to react.
class PassObserver : public QObject {
public:
    void start()
    {
        m_passes = 0;
        m_longestNs = 0;
        m_clock.start();
        m_last = 0;
        QCoreApplication::postEvent(this, new QEvent(QEvent::User));
    }
    void stop() { m_stopped = true; }
    qint64 passes() const { return m_passes; }
    double longestMs() const { return m_longestNs / 1e6; }

protected:
    bool event(QEvent* e) override
    {
        if (e->type() != QEvent::User)
            return QObject::event(e);
        const qint64 now = m_clock.nsecsElapsed();
        m_longestNs = std::max(m_longestNs, now - m_last);
        m_last = now;
        ++m_passes;
        if (!m_stopped)
            QCoreApplication::postEvent(this, new QEvent(QEvent::User));
        return true;
    }

private:
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longestNs = 0;
    qint64 m_passes = 0;
    bool m_stopped = false;
};

class SilentSink : public MessageSink {
public:
    void showMessage(const QString&, const QString&, MessageIcon) override {}
    bool askOkCancel(const QString&, const QString&) override { return true; }
};

bool makeTree(const QString& root, int* files, int* pictures)
{
    // 25 folders at the top, each with 19 subfolders: 500 folders; 20 files
    // in each, one in ten not a picture.
    static const char* const suffixes[] = {".jpg", ".JPG", ".png", ".tif", ".jpeg", ".bmp", ".gif", ".tiff", ".PNG"};
    *files = 0;
    *pictures = 0;
    QStringList folders;
    for (int a = 0; a < 25; ++a) {
        const QString top = root + QString("/roll%1").arg(a + 1);
        folders.append(top);
        for (int b = 0; b < 19; ++b)
            folders.append(top + QString("/scan%1").arg(b + 1));
    }
    for (const QString& f : folders) {
        if (!QDir().mkpath(f))
            return false;
        for (int i = 0; i < 20; ++i) {
            const bool picture = i % 10 != 9;
            const QString name = QString("page%1").arg(i + 1) + (picture ? suffixes[i % 9] : ".txt");
            QFile file(f + "/" + name);
            if (!file.open(QIODevice::WriteOnly))
                return false;
            ++*files;
            *pictures += picture;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    QTemporaryDir tmp;
    int files = 0;
    int pictures = 0;
    if (!tmp.isValid() || !makeTree(tmp.path(), &files, &pictures)) {
        std::fprintf(stderr, "cannot make the test tree in %s\n", qPrintable(QDir::tempPath()));
        return 1;
    }
    printLoad("at the start");
    std::printf("tree: %d files (%d pictures) in 500 folders\n", files, pictures);

    // The window's list area, shown, so every pass repaints a growing list.
    QWidget window;
    window.resize(753, 504);
    auto* layout = new QVBoxLayout(&window);
    auto* List1 = new QListWidget;
    auto* List2 = new QListWidget;
    auto* picText = new QWidget;
    auto* lblText = new QLabel("Drag && Drop Files Here", picText);
    auto* lblPageNum = new QLabel("Page Number Of Selected File: 0");
    layout->addWidget(lblPageNum);
    layout->addWidget(List1);
    layout->addWidget(List2);
    layout->addWidget(picText);
    window.show();
    QApplication::processEvents();

    SilentSink sink;
    CCommonDialogs dialogs;
    dialogs.Init(&window);
    FileListWidgets w;
    w.window = &window;
    w.List1 = List1;
    w.List2 = List2;
    w.picText = picText;
    w.lblText = lblText;
    w.lblPageNum = lblPageNum;
    FileListController controller(w, dialogs, sink);

    // Names only, no event passes: the cost of the search itself.
    {
        QElapsedTimer t;
        t.start();
        int n = 0;
        FileSearch::SearchFolder(
            tmp.path(),
            [&n](const QString&) {
                ++n;
                return true;
            },
            YieldFunction());
        std::printf("search without event passes: %d pictures in %.1f ms\n", n, t.nsecsElapsed() / 1e6);
    }

    // As "Add Folder" runs it: the folder chooser (answered here as soon as
    // it opens), then two event passes after every entry.
    {
        QTimer answer;
        answer.setInterval(0);
        QObject::connect(&answer, &QTimer::timeout, [&answer, &tmp]() {
            auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!chooser)
                return;
            answer.stop();
            chooser->setDirectory(tmp.path());
            chooser->selectFile(tmp.path());
            static_cast<QDialog*>(chooser)->accept();
        });
        answer.start();
        PassObserver observer;
        QElapsedTimer t;
        QObject::connect(&answer, &QTimer::timeout, [&]() {
            if (!answer.isActive() && !t.isValid()) {
                observer.start();
                t.start();
            }
        });
        controller.AddFolder();
        const double ms = t.nsecsElapsed() / 1e6;
        observer.stop();
        std::printf("Add Folder in the window: %d pictures in %.1f ms (%.1f us per entry), "
                    "%lld event passes, longest gap between passes %.2f ms\n",
                    List1->count(), ms, ms * 1000.0 / (files + 500), static_cast<long long>(observer.passes()),
                    observer.longestMs());
    }

    // A Sort: one pass after every entry, in and out of the buffer.
    const auto timeSort = [&]() {
        PassObserver observer;
        observer.start();
        QApplication::processEvents();
        QElapsedTimer t;
        t.start();
        controller.menuSort_Click();
        const double ms = t.nsecsElapsed() / 1e6;
        observer.stop();
        std::printf("sort in the window: %d entries in %.1f ms, %lld event passes, longest gap %.2f ms\n",
                    List1->count(), ms, static_cast<long long>(observer.passes()), observer.longestMs());
    };

    // Sort of that list.
    timeSort();

    // The largest list: Sort of 32,767 entries.
    {
        QStringList many;
        for (int i = 0; i < FileListController::MaxEntries; ++i)
            many.append(QString("/photos/%1/page%2.jpg").arg((i * 7919) % 1000).arg(i));
        List1->clear();
        List1->addItems(many);
    }
    timeSort();

    // The header check of 2,000 pictures added at once (as by Add with a
    // multiple selection or a drop): the list takes them at once, the check
    // runs on its worker thread while the window goes on; one in ten is
    // damaged. Until its one report, the longest gap between passes.
    {
        const QByteArray png = [] {
            QImage image(640, 480, QImage::Format_RGB32);
            image.fill(Qt::darkCyan);
            QBuffer buffer;
            buffer.open(QIODevice::WriteOnly);
            image.save(&buffer, "PNG");
            return buffer.data();
        }();
        QStringList added;
        QDir().mkpath(tmp.path() + "/added");
        for (int i = 0; i < 2000; ++i) {
            added << tmp.path() + QString("/added/photo%1.png").arg(i);
            QFile f(added.last());
            if (!f.open(QIODevice::WriteOnly) || f.write(i % 10 == 9 ? QByteArray("damaged") : png) < 0)
                return 1;
        }
        List1->clear();
        PassObserver observer;
        observer.start();
        QApplication::processEvents();
        QElapsedTimer t;
        t.start();
        int told = -1;
        QEventLoop wait;
        QObject::connect(controller.addCheck(), &AddCheck::Found, [&](const AddCheck::Problems& found) {
            told = int(found.paths.size());
            wait.quit();
        });
        controller.addCheck()->Check(added.mid(0, controller.AppendPaths(added)));
        wait.exec();
        const double ms = t.nsecsElapsed() / 1e6;
        observer.stop();
        std::printf("header check of 2000 pictures added: %d found damaged, told after %.1f ms, %lld event passes, "
                    "longest gap between passes %.2f ms (%s 50 ms)\n",
                    told, ms, static_cast<long long>(observer.passes()), observer.longestMs(),
                    observer.longestMs() < 50 ? "under" : "NOT under");
    }
    printLoad("at the end");
    return 0;
}
