// The operating system's random source; see os_random.hpp.
#include "keys/os_random.hpp"

#include "platform.hpp"

#if KELVORA_WINDOWS
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "failure.hpp"
#include "messages.hpp"

namespace kelvora {

void fail_os_random(std::source_location where) { fail(std::string(messages::kOsRandom), where); }

#if KELVORA_WINDOWS

// See header. The system-preferred generator needs no algorithm handle; a
// request is at most a ULONG of bytes.
void fill_os_random(std::span<std::uint8_t> out) {
  for (std::size_t done = 0; done < out.size();) {
    const ULONG n = ULONG(std::min<std::size_t>(out.size() - done, 1u << 30));
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out.data() + done, n,
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
      fail_os_random();
    done += n;
  }
}

#else

namespace {

using GetrandomFn = ssize_t (*)(void* buf, std::size_t len, unsigned int flags);

// getrandom slot: not looked up yet, unavailable, or the entry point itself.
// Racing first users each look it up; they store the same answer.
constexpr std::uintptr_t kNotLookedUp = 0;
constexpr std::uintptr_t kUnavailable = 1;
std::atomic<std::uintptr_t> g_getrandom{kNotLookedUp};

GetrandomFn getrandom_entry() {
  std::uintptr_t slot = g_getrandom.load(std::memory_order_acquire);
  if (slot == kNotLookedUp) {
    slot = kUnavailable;
    if (void* sym = ::dlsym(RTLD_DEFAULT, "getrandom")) {
      auto fn = reinterpret_cast<GetrandomFn>(sym);
      std::uint8_t probe = 0;
      // A kernel without the system call (or a seccomp filter refusing it)
      // answers the zero-length probe with ENOSYS or EPERM.
      const bool refused = fn(&probe, 0, 0) < 0 && (errno == ENOSYS || errno == EPERM);
      if (!refused) slot = reinterpret_cast<std::uintptr_t>(sym);
    }
    g_getrandom.store(slot, std::memory_order_release);
  }
  return slot == kUnavailable ? nullptr : reinterpret_cast<GetrandomFn>(slot);
}

// /dev/urandom set-up: idle -> busy -> ready, back to idle when it fails.
// Concurrent callers sleep on the state word (std::atomic::wait, a futex wait
// on Linux) while one of them sets up.
constexpr int kIdle = 0;
constexpr int kBusy = 1;
constexpr int kReady = 2;
std::atomic<int> g_urandom_state{kIdle};
int g_urandom_fd = -1;  // published by the release store of kReady

int open_retrying(const char* path) {
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Blocks until the kernel pool is initialised: /dev/random polls readable
// only from then on, while /dev/urandom never blocks.
bool wait_for_seeded_pool() {
  const int fd = open_retrying("/dev/random");
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, -1);
  } while (rc < 0 && errno == EINTR);
  ::close(fd);
  return rc == 1;
}

int urandom_fd() {
  for (;;) {
    int state = g_urandom_state.load(std::memory_order_acquire);
    if (state == kReady) return g_urandom_fd;
    if (state == kBusy) {
      g_urandom_state.wait(kBusy, std::memory_order_acquire);
      continue;
    }
    if (!g_urandom_state.compare_exchange_strong(state, kBusy, std::memory_order_acquire)) continue;
    const int fd = wait_for_seeded_pool() ? open_retrying("/dev/urandom") : -1;
    if (fd >= 0) g_urandom_fd = fd;
    g_urandom_state.store(fd >= 0 ? kReady : kIdle, std::memory_order_release);
    g_urandom_state.notify_all();
    return fd;
  }
}

}  // namespace

// See header.
bool os_random::getrandom_usable() { return getrandom_entry() != nullptr; }

// See header.
void os_random::fill_from_getrandom(std::span<std::uint8_t> out) {
  const GetrandomFn fn = getrandom_entry();
  if (fn == nullptr) fail_os_random();
  fill_by_reads(out, [fn](std::uint8_t* p, std::size_t n) { return fn(p, n, 0); });
}

// See header.
void os_random::fill_from_urandom(std::span<std::uint8_t> out) {
  const int fd = urandom_fd();
  if (fd < 0) fail_os_random();
  fill_by_reads(out, [fd](std::uint8_t* p, std::size_t n) { return ::read(fd, p, n); });
}

// See header.
void fill_os_random(std::span<std::uint8_t> out) {
  if (getrandom_entry() != nullptr) {
    os_random::fill_from_getrandom(out);
  } else {
    os_random::fill_from_urandom(out);
  }
}

#endif

}  // namespace kelvora
