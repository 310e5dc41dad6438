#pragma once
#include "platform/EventPump.h"

#include <QString>

// Removes a folder with everything in it, yielding after each entry. What
// cannot be removed stays; each entry is visited once, so it always ends.
// Symbolic links are removed as links, never followed: every folder is
// opened with O_NOFOLLOW relative to the descriptor of its parent, so a
// link put in place of a folder, even during the removal, leads nowhere.
void RemoveFolderTree(const QString& folder, const YieldFunction& yield = YieldEvents);

// The same for the entry `name` of the folder open as `parentFd`. A link
// or a file of that name is removed itself.
void RemoveFolderTreeAt(int parentFd, const QByteArray& name, const YieldFunction& yield = YieldEvents);
