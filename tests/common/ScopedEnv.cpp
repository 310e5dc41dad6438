#include "ScopedEnv.h"

#include <QtGlobal>

namespace testsupport {

void ScopedEnv::set(const char* name, const QByteArray& value)
{
    if (!m_saved.count(name))
        m_saved[name] = qEnvironmentVariableIsSet(name) ? std::optional<QByteArray>(qgetenv(name)) : std::nullopt;
    qputenv(name, value);
    if (m_onChange)
        m_onChange();
}

ScopedEnv::~ScopedEnv()
{
    for (const auto& [name, value] : m_saved) {
        if (value)
            qputenv(name.constData(), *value);
        else
            qunsetenv(name.constData());
    }
    if (m_onChange)
        m_onChange();
}

} // namespace testsupport
