#pragma once
// A page maker set up as the programs set one up: work folders made inside
// a folder of the benchmark's, messages to standard error, a job begun.
#include "StderrSink.h"
#include "engine/job/PageMaker.h"
#include "engine/job/WorkFolders.h"

#include <QDir>
#include <utility>

struct BenchPageMaker {
    BenchPageMaker(const QString& root, YieldFunction yield)
        : folders{made(root + "/tmpvelunor"), made(root + "/jpgtmp")}, maker(folders, sink, std::move(yield))
    {
        maker.BeginJob();
    }

    static QString made(const QString& folder)
    {
        QDir().mkpath(folder);
        return folder;
    }

    const WorkFolders folders;
    StderrSink sink;
    PageMaker maker;
};
