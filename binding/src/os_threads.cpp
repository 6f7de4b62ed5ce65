// Fork handlers and parked threads per operating system; see os_threads.hpp.
#include "os_threads.hpp"

#include "platform.hpp"

#if KELVORA_POSIX
#include <pthread.h>
#include <unistd.h>
#else
#include <windows.h>
#endif

namespace kelvora::py {

void after_fork_in_child([[maybe_unused]] void (*function)()) noexcept {
#if KELVORA_POSIX
  pthread_atfork(nullptr, nullptr, function);
#endif
}

void park_thread() noexcept {
  for (;;) {
#if KELVORA_POSIX
    pause();
#else
    Sleep(INFINITE);
#endif
  }
}

}  // namespace kelvora::py
