#pragma once
#include <QString>

// Ends at once (SIGKILL) the stray runs of a name, as ProcessList::NameMatches
// decides (the same test the runner watches with): processes of this user
// that a Velunor program started (they carry its VELUNOR_RUNNER_PID mark)
// and whose program is no longer alive, with their children of the same
// mark. Runs Velunor did not start (the user's own) and runs of a live
// Velunor program are never signalled.
void KillProcessByName(const QString& name);
