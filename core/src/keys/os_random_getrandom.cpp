// getrandom(2) through the C library, where it has it; see os_random.hpp.
#if !defined(_WIN32)

#include <dlfcn.h>
#include <sys/types.h>

#include <atomic>

#include "keys/os_random_sources.hpp"

namespace kelvora::os_random {
namespace {

using GetrandomFn = ssize_t (*)(void* buf, std::size_t len, unsigned int flags);

// The entry point when it answers a zero-length request, else null. A kernel
// without the system call, or a seccomp filter refusing it, fails the probe
// (unless the C library answers it through the vDSO, without the kernel:
// then the first real request fails instead).
GetrandomFn find_getrandom() {
  const auto fn = reinterpret_cast<GetrandomFn>(::dlsym(RTLD_DEFAULT, "getrandom"));
  if (fn == nullptr) return nullptr;
  std::uint8_t probe = 0;
  ssize_t rc;
  do {
    rc = fn(&probe, 0, 0);
  } while (rc < 0 && errno == EINTR);
  return rc == 0 ? fn : nullptr;
}

// Looked up and probed by the first user; racing first users wait for its
// answer.
GetrandomFn getrandom_entry() {
  static const GetrandomFn entry = find_getrandom();
  return entry;
}

std::atomic<bool> g_refused{false};

}  // namespace

// See os_random_sources.hpp.
bool getrandom_usable() {
  return !g_refused.load(std::memory_order_relaxed) && getrandom_entry() != nullptr;
}

// See os_random_sources.hpp.
void refuse_getrandom() { g_refused.store(true, std::memory_order_relaxed); }

// See os_random_sources.hpp.
bool fill_from_getrandom(std::span<std::uint8_t> out) {
  const GetrandomFn fn = getrandom_entry();
  return fn != nullptr &&
         read_in_full(out, [fn](std::uint8_t* p, std::size_t n) { return fn(p, n, 0); });
}

}  // namespace kelvora::os_random

#endif
