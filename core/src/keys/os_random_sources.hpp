// Internal: the POSIX sources of fill_os_random (os_random.hpp), one function
// each, and their one read loop. fill_os_random tries them in order; tests
// reach each one here.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kelvora::os_random {

// Each fills all of `out`, or returns false with `out` partly written: when
// the source is not available here, or at an error other than EINTR, an
// empty answer or one of more bytes than asked for.

// The vDSO's getrandom on this thread's state; only where getrandom_usable().
bool fill_from_vdso(std::span<std::uint8_t> out);
// The system call through the C library's getrandom; only where getrandom_usable().
bool fill_from_getrandom(std::span<std::uint8_t> out);
bool fill_from_urandom(std::span<std::uint8_t> out);

// getrandom was found, passed its probe and has not failed since (looks it
// up and probes it on first use, once for the process).
bool getrandom_usable();
// From now on getrandom is not used in this process.
void refuse_getrandom();

// The read loop of every source. `read(p, n)` returns the number of bytes it
// wrote at p (at most n), or -1 with errno set.
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

}  // namespace kelvora::os_random
