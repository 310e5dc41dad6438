#pragma once
#include "platform/EventPump.h"

#include <QString>

// Removes a folder with everything in it, yielding after each entry. What
// cannot be removed stays; each entry is visited once, so it always ends.
// Symbolic links are removed, never followed.
void RemoveFolderTree(const QString& folder, const YieldFunction& yield = YieldEvents);
