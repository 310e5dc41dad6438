#pragma once
#include <QStringList>

#include <linux/capability.h>

// Makes permissions bind root too, so that a folder of mode 000 is
// unreadable whoever runs the tests: while this lives, the calling thread
// has no capability that reads or searches any file. (For a user other
// than root it changes nothing: permissions bind already.)
class ScopedNoReadOverride {
public:
    ScopedNoReadOverride();
    ~ScopedNoReadOverride();
    ScopedNoReadOverride(const ScopedNoReadOverride&) = delete;
    ScopedNoReadOverride& operator=(const ScopedNoReadOverride&) = delete;

    // What to put before a program's command line to run it so.
    static QStringList ProgramPrefix();

private:
    __user_cap_header_struct m_header {};
    __user_cap_data_struct m_saved[2] {};
    bool m_changed = false;
};
