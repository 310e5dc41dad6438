#pragma once
#include <QLatin1StringView>

// The program's name, as its window caption, message titles and About say it.
inline constexpr QLatin1StringView ProgramName("Velunor");
