// Fork handlers, signal masks and mapped pages on POSIX systems; see platform.hpp.
#if !defined(_WIN32)

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform.hpp"

namespace kelvora {

// See header.
void at_fork_child(void (*fn)()) noexcept { pthread_atfork(nullptr, nullptr, fn); }

// See header.
void with_signals_blocked(void (*fn)(void*), void* context) {
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  struct Restore {
    const sigset_t& old;
    ~Restore() { pthread_sigmask(SIG_SETMASK, &old, nullptr); }
  } restore{old};
  fn(context);
}

namespace {
std::size_t whole_pages(std::size_t bytes) {
  const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}
}  // namespace

// See header. The mapping is made longer by the alignment, and the slack
// before the aligned start and after the end is handed back.
void* map_zeroed(std::size_t bytes, std::size_t alignment) noexcept {
  const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
  if (alignment < page) alignment = page;
  if (bytes > std::size_t(-1) - 2 * alignment) return nullptr;
  bytes = (bytes + page - 1) / page * page;
  const std::size_t span = bytes + alignment - page;
  void* const p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  auto* const start = static_cast<char*>(p);
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(start);
  char* const aligned = start + ((alignment - at % alignment) % alignment);
  if (aligned != start) munmap(start, std::size_t(aligned - start));
  if (aligned + bytes != start + span) munmap(aligned + bytes, std::size_t(start + span - (aligned + bytes)));
  return aligned;
}

// See header.
void unmap_zeroed(void* p, std::size_t bytes) noexcept {
  if (p != nullptr) munmap(p, whole_pages(bytes));
}

}  // namespace kelvora

#endif
