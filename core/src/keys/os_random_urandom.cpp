// /dev/urandom, the source of last resort on POSIX systems; see os_random.hpp.
#if !defined(_WIN32)

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "keys/os_random_sources.hpp"
#include "platform.hpp"

namespace kelvora::os_random {
namespace {

// The descriptor kept for the process (-1 before the first opening), and the
// device it names, written before its first publication by the release store
// of g_fd and never changed after.
std::atomic<int> g_fd{-1};
dev_t g_device = 0;
// Opening is done by one thread at a time: the others sleep on g_opening
// (std::atomic::wait, a futex on Linux) and then take the descriptor it
// opened. g_seeded is written under it.
std::atomic<bool> g_opening{false};
bool g_seeded = false;

int open_retrying(const char* path) {
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Whether `fd` is a character device, and which.
bool character_device(int fd, dev_t& device) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  device = st.st_rdev;
  return true;
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

// /dev/urandom opened, once the pool is seeded, if it is a character device
// (the same one as before, after the first time); -1 otherwise. Under
// g_opening.
int open_urandom() {
  if (!g_seeded) g_seeded = wait_for_seeded_pool();
  if (!g_seeded) return -1;
  const int fd = open_retrying("/dev/urandom");
  dev_t device;
  if (fd < 0) return -1;
  const bool first = g_fd.load(std::memory_order_relaxed) < 0;
  if (!character_device(fd, device) || (!first && device != g_device)) {
    ::close(fd);
    return -1;
  }
  if (first) g_device = device;
  return fd;
}

// Replaces `stale`, the kept descriptor found unusable (or -1), unless
// another thread has already done so; -1 when opening fails, to be tried
// again by the next call. The old number is left alone: the application has
// closed it (os.closerange) or made it name another file (dup2), so it is no
// longer ours.
int replace_descriptor(int stale) {
  while (g_opening.exchange(true, std::memory_order_acquire)) g_opening.wait(true);
  int fd = g_fd.load(std::memory_order_relaxed);
  if (fd == stale) {
    fd = open_urandom();
    if (fd >= 0) g_fd.store(fd, std::memory_order_release);
  }
  g_opening.store(false, std::memory_order_release);
  g_opening.notify_all();
  return fd;
}

// The kept descriptor, checked before each use to still name the device.
int urandom_fd() {
  // A thread that was opening in the parent of a fork() does not exist in
  // the child.
  [[maybe_unused]] static const bool reset_in_children =
      (at_fork_child([] { g_opening.store(false, std::memory_order_relaxed); }), true);
  const int fd = g_fd.load(std::memory_order_acquire);
  dev_t device;
  if (fd >= 0 && character_device(fd, device) && device == g_device) return fd;
  return replace_descriptor(fd);
}

}  // namespace

// See os_random_sources.hpp.
bool fill_from_urandom(std::span<std::uint8_t> out) {
  const int fd = urandom_fd();
  return fd >= 0 &&
         read_in_full(out, [fd](std::uint8_t* p, std::size_t n) { return ::read(fd, p, n); });
}

}  // namespace kelvora::os_random

#endif
