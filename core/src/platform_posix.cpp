// Fork handlers and signal masks on POSIX systems; see platform.hpp.
#if !defined(_WIN32)

#include <pthread.h>
#include <signal.h>

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

}  // namespace kelvora

#endif
