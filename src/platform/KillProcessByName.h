#pragma once
#include <QString>

// Ends at once (SIGKILL) every process of this user whose executable name,
// as the process list shows it (/proc/PID/comm), equals name ignoring case.
void KillProcessByName(const QString& name);
