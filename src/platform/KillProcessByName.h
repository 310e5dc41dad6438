#pragma once
#include <QString>

// Ends at once (SIGKILL) every process of this user that goes by name, as
// ProcessList::NameMatches decides (the same test the runner watches with),
// and the children of each; runs that another live Velunor process started
// are spared.
void KillProcessByName(const QString& name);
