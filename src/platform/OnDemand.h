#pragma once
// A shared library opened on the first call into it, not at the program's
// start: a file of forwarding functions, one per call we make, each named
// and typed as the library's header declares it. Every start of a program
// otherwise pays for a library and its own dependencies, their relocations
// and start-up code, where only a few pictures or files ever need them.
//
//   VELUNOR_ON_DEMAND_LIBRARY("libfoo.so.1")   // once, in the file
//   int foo_call(int x) { VELUNOR_FORWARD(foo_call, -1, x); }
//   void foo_free(foo* f) { VELUNOR_FORWARD_VOID(foo_free, f); }
//
// When the library or the symbol cannot be loaded, a forwarder answers as
// the library answers a failure (`fallback`), and one without an answer
// does nothing.
#include <dlfcn.h>

#define VELUNOR_ON_DEMAND_LIBRARY(soname)                                                                     \
    namespace {                                                                                                \
    void* onDemandLibrary()                                                                                    \
    {                                                                                                          \
        static void* const handle = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);                                   \
        return handle;                                                                                         \
    }                                                                                                          \
    }

// Resolved once, on the forwarder's first call (a function-local static,
// so thread-safe).
#define VELUNOR_ON_DEMAND(name)                                                                                \
    static const auto fn = reinterpret_cast<decltype(&::name)>(onDemandLibrary() ? ::dlsym(onDemandLibrary(), #name) \
                                                                                 : nullptr)

#define VELUNOR_FORWARD(name, fallback, ...)                                                                   \
    VELUNOR_ON_DEMAND(name);                                                                                   \
    return fn ? fn(__VA_ARGS__) : (fallback)

#define VELUNOR_FORWARD_VOID(name, ...)                                                                        \
    VELUNOR_ON_DEMAND(name);                                                                                   \
    if (fn)                                                                                                    \
    fn(__VA_ARGS__)
