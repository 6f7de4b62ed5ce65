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

// The entry point while getrandom serves, 0 once it is unavailable or has
// failed, kNotLookedUp before the first use. The lookup and probe are made
// once, by the first user (racing first users wait for its answer); its
// answer replaces kNotLookedUp only, so a failure is never undone.
constexpr std::uintptr_t kNotLookedUp = 1;
std::atomic<std::uintptr_t> g_getrandom{kNotLookedUp};

[[gnu::noinline]] std::uintptr_t look_up() {
  static const GetrandomFn found = find_getrandom();
  std::uintptr_t slot = kNotLookedUp;
  g_getrandom.compare_exchange_strong(slot, reinterpret_cast<std::uintptr_t>(found),
                                      std::memory_order_acq_rel);
  return g_getrandom.load(std::memory_order_acquire);
}

GetrandomFn getrandom_entry() {
  std::uintptr_t slot = g_getrandom.load(std::memory_order_acquire);
  if (slot == kNotLookedUp) [[unlikely]]
    slot = look_up();
  return reinterpret_cast<GetrandomFn>(slot);
}

}  // namespace

// See os_random_sources.hpp.
bool getrandom_usable() { return getrandom_entry() != nullptr; }

// See os_random_sources.hpp.
void refuse_getrandom() { g_getrandom.store(0, std::memory_order_release); }

// See os_random_sources.hpp.
bool fill_from_getrandom(std::span<std::uint8_t> out) {
  const GetrandomFn fn = getrandom_entry();
  return fn != nullptr &&
         read_in_full(out, [fn](std::uint8_t* p, std::size_t n) { return fn(p, n, 0); });
}

}  // namespace kelvora::os_random

#endif
