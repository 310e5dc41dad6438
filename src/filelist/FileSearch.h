#pragma once
#include "engine/job/FolderWalk.h"
#include "platform/EventPump.h"

#include <QString>
#include <QStringList>
#include <functional>

// The recursive folder search of "Add Folder": appends every picture of a
// folder tree, by name alone, to the file list. The walk itself is the
// engine's FolderWalk, which velunor-convert's folder arguments use too.
namespace FileSearch {

// Receives each picture found; returns false when it takes no more (the
// list is full or gone), which ends the search.
using AppendFunction = std::function<bool(const QString& path)>;

// A picture name ends, ignoring case, in .bmp .jpg .gif .png .tif .tiff
// .jpeg, or one of the added kinds .heic .heif .avif .webp .jxl; the whole
// name is tested, so ".jpg" alone passes (PictureNames).
bool IsPictureName(const QString& name);

// The entries of one folder (hidden ones included, "." and ".." left out)
// in the order a file manager shows them: the user's locale, case ignored,
// numbers compared as numbers. Empty when the folder can't be listed.
QStringList ListFolder(const QString& folder);

// Searches `folder`: its pictures first, in ListFolder order, then each
// subfolder's whole tree in the same order. A subfolder is searched when it
// is a plain directory: not a symbolic link (which also keeps the search out
// of loops) and not hidden (name starting with "."). Every other entry is a
// picture when IsPictureName says so. `yield` runs twice after each entry.
// Entries it cannot read go to *unreadable. Returns false when `append`
// refused a path and the search stopped.
bool SearchFolder(const QString& folder, const AppendFunction& append, const YieldFunction& yield = YieldEvents,
                  QList<FolderWalk::Unreadable>* unreadable = nullptr);

} // namespace FileSearch
