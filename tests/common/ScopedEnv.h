#pragma once
#include <QByteArray>

#include <ctime>
#include <functional>
#include <map>
#include <optional>

namespace testsupport {

// Sets environment variables for the life of the object and puts back what
// was there before (or unsets them). onChange runs after every change, e.g.
// tzset() when TZ is among them.
class ScopedEnv {
public:
    explicit ScopedEnv(std::function<void()> onChange = {}) : m_onChange(std::move(onChange)) {}
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

    void set(const char* name, const QByteArray& value);

private:
    std::function<void()> m_onChange;
    std::map<QByteArray, std::optional<QByteArray>> m_saved;
};

// The machine's time zone set to tz (a TZ value) for the life of the object,
// the C library told at every change.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz) { m_env.set("TZ", tz); }

private:
    ScopedEnv m_env{[] { tzset(); }};
};

} // namespace testsupport
