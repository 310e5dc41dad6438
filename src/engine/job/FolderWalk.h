#pragma once
#include "platform/EventPump.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

// The walk of a folder tree that "Add Folder" and velunor-convert's folder
// arguments share, so both take the same pictures in the same order. Names
// alone decide what a picture is (PictureNames); no file is opened.
class FolderWalk {
public:
    // Receives each picture found; returns false when it takes no more (the
    // list is full or gone), which ends the walk.
    using AppendFunction = std::function<bool(const QString& path)>;

    // An entry the walk could not read: a folder it could not list or enter,
    // or a picture it may not read (a dangling link is one too). Its pictures
    // would be missing from the list without a word.
    struct Unreadable {
        QString path;
        QString reason; // the system's words: "Permission denied"
    };
    // Why this process may not read the file `path`; empty when it may.
    static QString ReadProblem(const QString& path);

    // The entries of one folder (hidden ones included, "." and ".." left out)
    // in the order a file manager shows them: the user's locale, case ignored,
    // numbers compared as numbers. Empty when the folder can't be listed,
    // and then *problem (when given) says why.
    static QStringList ListFolder(const QString& folder, QString* problem = nullptr);

    // Walks `folder`: its pictures first, in ListFolder order, then each
    // subfolder's whole tree in the same order. A subfolder is entered when
    // it is a plain directory: not a symbolic link (which also keeps the walk
    // out of loops) and not hidden (name starting with "."). Every other
    // entry is a picture when its name is a picture name. `yield` runs twice
    // after each entry. Entries it cannot read are passed over and added to
    // *unreadable, in walk order. Returns false when `append` refused a path
    // and the walk stopped.
    static bool Walk(const QString& folder, const AppendFunction& append, const YieldFunction& yield = YieldEvents,
                     QList<Unreadable>* unreadable = nullptr);

    // Every picture of the tree, in walk order.
    static QStringList Pictures(const QString& folder, QList<Unreadable>* unreadable = nullptr);
};
