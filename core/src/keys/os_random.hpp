// The operating system's random source.
//
// fill_os_random(out) fills `out` with fresh bytes from the kernel's
// generator, from the first of these sources that gives them (one function
// each, in os_random_sources.hpp):
//   - the kernel's getrandom in the vDSO (vdso_random.hpp), flags 0, where
//     the vDSO has it and the system call below serves (the vDSO makes that
//     call to rekey);
//   - getrandom(2), flags 0, when the C library exports it: looked up once by
//     name (dlsym on the default handle) and probed with a zero-length
//     request;
//   - "/dev/urandom", opened once "/dev/random" has polled readable (so the
//     kernel's pool is seeded) and kept open for the process. It must be a
//     character device; before each use the descriptor is checked to still
//     name that device, and /dev/urandom is opened again if the application
//     has closed the number or reused it for another file. A failed opening
//     is tried again on the next call.
// Interrupted calls (EINTR) are repeated; short reads continue where they
// stopped. Any other error of getrandom, at the probe or at a request, by the
// vDSO or by the system call (a seccomp filter may refuse the call or make it
// return nothing), and an empty or oversized answer, hand this request and
// every later one to /dev/urandom, which then fills `out` from its start.
// When /dev/urandom fails as well, fill_os_random is the internal failure
// "OS RNG unavailable: OsRng".
// On Windows the one source is BCryptGenRandom with the system-preferred
// generator; a failed call is the same internal failure.
//
// os_random_posix.cpp holds the order above, os_random_getrandom.cpp and
// os_random_urandom.cpp a source each, os_random_windows.cpp the Windows one.
#pragma once

#include <cstdint>
#include <source_location>
#include <span>

namespace kelvora {

using FillRandom = void (*)(std::span<std::uint8_t> out);

void fill_os_random(std::span<std::uint8_t> out);

// "OS RNG unavailable: OsRng"
[[noreturn]] void fail_os_random(std::source_location where = std::source_location::current());

}  // namespace kelvora
