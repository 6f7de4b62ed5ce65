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
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "failure.hpp"
#include "keys/vdso_random.hpp"
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
// The descriptor, and the device number it was opened on; both published by
// the release store of kReady. The descriptor is replaced when it no longer
// names that device.
std::atomic<int> g_urandom_fd{-1};
dev_t g_urandom_device = 0;

int open_retrying(const char* path) {
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The device number of `fd` if it is a character device.
bool character_device(int fd, dev_t& device) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  device = st.st_rdev;
  return true;
}

// /dev/urandom opened, if it is a character device (of `expected` once that
// is known); -1 otherwise.
int open_urandom(dev_t& device, const dev_t* expected) {
  const int fd = open_retrying("/dev/urandom");
  if (fd < 0) return -1;
  if (!character_device(fd, device) || (expected != nullptr && device != *expected)) {
    ::close(fd);
    return -1;
  }
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

// The descriptor after the one-time set-up, or -1 when the set-up failed.
int set_up_urandom() {
  for (;;) {
    int state = g_urandom_state.load(std::memory_order_acquire);
    if (state == kReady) return g_urandom_fd.load(std::memory_order_acquire);
    if (state == kBusy) {
      g_urandom_state.wait(kBusy, std::memory_order_acquire);
      continue;
    }
    if (!g_urandom_state.compare_exchange_strong(state, kBusy, std::memory_order_acquire)) continue;
    const int fd = wait_for_seeded_pool() ? open_urandom(g_urandom_device, nullptr) : -1;
    if (fd >= 0) g_urandom_fd.store(fd, std::memory_order_release);
    g_urandom_state.store(fd >= 0 ? kReady : kIdle, std::memory_order_release);
    g_urandom_state.notify_all();
    return fd;
  }
}

// The descriptor, checked before each use: the application may have closed
// it (os.closerange) or made its number name another file (dup2). Then
// /dev/urandom is opened again; the old number is left alone, as it is no
// longer ours.
int urandom_fd() {
  int fd = set_up_urandom();
  for (dev_t device; fd >= 0;) {
    if (character_device(fd, device) && device == g_urandom_device) return fd;
    const int fresh = open_urandom(device, &g_urandom_device);
    if (fresh < 0) return -1;
    if (g_urandom_fd.compare_exchange_strong(fd, fresh, std::memory_order_acq_rel)) return fresh;
    ::close(fresh);  // another thread replaced it first: check theirs
  }
  return -1;
}


}  // namespace

// See header. The vDSO asks the kernel for a new key through the system call
// from time to time, so it serves only where that call does (a seccomp filter
// may refuse it, and /dev/urandom then serves instead).
bool os_random::vdso_usable() { return getrandom_entry() != nullptr && vdso_random::usable(); }

namespace {

// Fills `out` through the vDSO; false, with `out` partly written, when the
// vDSO is not usable here or answers with an error other than EINTR.
bool fill_through_vdso(std::span<std::uint8_t> out) {
  return os_random::vdso_usable() &&
         os_random::read_in_full(out, [](std::uint8_t* p, std::size_t n) -> long {
           const long got = vdso_random::read(p, n);
           if (got >= 0) return got;
           errno = int(-got);
           return -1;
         });
}

}  // namespace

// See header.
void os_random::fill_from_vdso(std::span<std::uint8_t> out) {
  if (!fill_through_vdso(out)) fail_os_random();
}

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
  // A vDSO that fails leaves the request to the system call (which then
  // reports the failure, if it is the kernel's).
  if (fill_through_vdso(out)) return;
  if (getrandom_entry() != nullptr) {
    os_random::fill_from_getrandom(out);
  } else {
    os_random::fill_from_urandom(out);
  }
}

#endif

}  // namespace kelvora
