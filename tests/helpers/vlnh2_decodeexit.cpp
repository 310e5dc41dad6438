// Test helper: makes the page of the picture argv[2] in the work folders
// under argv[1], decoding it with the helper program argv[3], and ends at
// once - as the window's Exit does in the middle of a job - at the first
// event pass that finds the decoder reading the picture, after printing the
// decoder's id. Prints 0 if it never does.
#include "engine/job/PageMaker.h"
#include "platform/MessageSink.h"
#include "platform/ProcessList.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

bool hasOpen(pid_t pid, const QString& path)
{
    const QDir fds(QString("/proc/%1/fd").arg(pid));
    for (const QFileInfo& fd : fds.entryInfoList(QDir::Files | QDir::System))
        if (fd.symLinkTarget() == path)
            return true;
    return false;
}

class NoSink : public MessageSink {
public:
    void showMessage(const QString&, const QString&, MessageIcon) override {}
    bool askOkCancel(const QString&, const QString&) override { return true; }
};
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4)
        return 2;
    const QString root = QFile::decodeName(argv[1]);
    const WorkFolders folders{root + "/tmpvelunor", root + "/jpgtmp"};
    NoSink sink;
    DecoderProcess::Options decoder = DecoderProcess::Defaults();
    decoder.program = QFile::decodeName(argv[3]);
    const QString picture = QFileInfo(QFile::decodeName(argv[2])).absoluteFilePath();
    PageMaker maker(
        folders, sink,
        [&] {
            for (const ProcessList::Entry& e : ProcessList::Snapshot()) {
                if (e.ppid == ::getpid() && !ProcessList::IsZombie(e) && hasOpen(e.pid, picture)) {
                    std::printf("%d\n", int(e.pid));
                    std::fflush(stdout);
                    std::_Exit(0);
                }
            }
        },
        decoder);
    maker.BeginJob();
    maker.MakePage(0, picture, 80);
    std::printf("0\n");
    return 1;
}
