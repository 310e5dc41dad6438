#pragma once
// What each helper program does first (the decoder, the text reader): end
// with the program that waits for it, however that one ends, and keep to
// its memory limit. Plain POSIX, so a helper without Qt can use it.
#include <new>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <csignal>
#include <unistd.h>

// False when `parent` is no longer our parent (it went before we started
// listening for its end). `outOfMemory` runs when an allocation fails.
inline bool BindHelperToParent(long long parent, long long addressLimit, std::new_handler outOfMemory)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != pid_t(parent))
        return false;
#ifndef __SANITIZE_ADDRESS__
    // (AddressSanitizer reserves terabytes of address space for itself, so a
    // sanitized test build runs without this limit.)
    if (addressLimit > 0) {
        const rlimit as{rlim_t(addressLimit), rlim_t(addressLimit)};
        ::setrlimit(RLIMIT_AS, &as);
    }
#else
    (void)addressLimit;
#endif
    std::set_new_handler(outOfMemory);
    return true;
}
