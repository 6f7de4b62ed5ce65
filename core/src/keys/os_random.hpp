// The operating system's random source.
//
// fill_os_random(out) fills `out` with bytes from the kernel's generator:
//   - through the kernel's getrandom in the vDSO (vdso_random.hpp), flags 0,
//     where the vDSO has it and the system call below passed its probe (the
//     vDSO makes that call to rekey); when the vDSO answers with an error the
//     request goes on to the next path;
//   - through getrandom(2), flags 0, when the C library exports it. The entry
//     point is looked up once by name (dlsym on the default handle) and probed
//     with a zero-length request; ENOSYS or EPERM from the probe marks it
//     unavailable. The result sits in one atomic slot for the process;
//   - otherwise through "/dev/urandom", opened once after "/dev/random" has
//     polled readable (so the pool is seeded) and kept open for the process.
//     It must be a character device; before each use the descriptor is
//     checked to still name that device, and /dev/urandom is opened again if
//     the application has closed the number or reused it for another file.
//     A failed set-up is retried on the next call.
// Interrupted calls (EINTR) are repeated; short reads continue where they
// stopped. Any other error, an empty read or a read reporting more bytes than
// asked for is an internal failure "OS RNG unavailable: OsRng".
// On Windows the source is BCryptGenRandom with the system-preferred
// generator; a failed call is the same internal failure.
//
// Every POSIX path is reachable by name so tests can exercise each one.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <source_location>
#include <span>

#include "platform.hpp"

namespace kelvora {

using FillRandom = void (*)(std::span<std::uint8_t> out);

void fill_os_random(std::span<std::uint8_t> out);

// "OS RNG unavailable: OsRng"
[[noreturn]] void fail_os_random(std::source_location where = std::source_location::current());

namespace os_random {

#if KELVORA_POSIX
// True when the vDSO has getrandom, getrandom_usable(), and this thread has
// its state (looks them up on first use); fill_from_vdso fails without it.
bool vdso_usable();
void fill_from_vdso(std::span<std::uint8_t> out);
// True when getrandom was found and passed its probe (looks it up on first use).
bool getrandom_usable();
// The two paths of fill_os_random; fill_from_getrandom requires getrandom_usable().
void fill_from_getrandom(std::span<std::uint8_t> out);
void fill_from_urandom(std::span<std::uint8_t> out);
#endif

// The read loop of every path. `read(p, n)` returns the number of bytes it
// wrote at p (at most n), or -1 with errno set. read_in_full returns false,
// with `out` partly written, at an error other than EINTR, an empty read or a
// read reporting more bytes than asked for; fill_by_reads fails there.
template <class Read>
bool read_in_full(std::span<std::uint8_t> out, Read&& read) {
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t want = out.size() - done;
    const long got = static_cast<long>(read(out.data() + done, want));
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    // An empty read would otherwise spin forever; an oversized one means the
    // source wrote past what we own.
    if (got == 0 || static_cast<unsigned long>(got) > want) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

template <class Read>
void fill_by_reads(std::span<std::uint8_t> out, Read&& read) {
  if (!read_in_full(out, read)) fail_os_random();
}

}  // namespace os_random
}  // namespace kelvora
