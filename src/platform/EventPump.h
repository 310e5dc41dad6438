#pragma once
#include <functional>

// "Yield": let every pending window event be handled once.
void YieldEvents();

// Long work takes its yield as a function, so tests can count or replace it.
using YieldFunction = std::function<void()>;
