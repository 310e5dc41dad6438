#include "ScopedNoReadOverride.h"

#include <sys/syscall.h>
#include <unistd.h>

ScopedNoReadOverride::ScopedNoReadOverride()
{
    m_header.version = _LINUX_CAPABILITY_VERSION_3;
    if (::syscall(SYS_capget, &m_header, m_saved) != 0)
        return;
    __user_cap_data_struct fewer[2] = {m_saved[0], m_saved[1]};
    fewer[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    m_changed = ::syscall(SYS_capset, &m_header, fewer) == 0;
}

ScopedNoReadOverride::~ScopedNoReadOverride()
{
    if (m_changed)
        ::syscall(SYS_capset, &m_header, m_saved);
}

QStringList ScopedNoReadOverride::ProgramPrefix()
{
    if (::geteuid() != 0)
        return {};
    return {"setpriv", "--bounding-set=-dac_override,-dac_read_search"};
}
