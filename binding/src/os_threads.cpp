// Parked threads per operating system; see os_threads.hpp.
#include "os_threads.hpp"

#include "platform.hpp"

#if KELVORA_POSIX
#include <unistd.h>
#else
#include <windows.h>
#endif

namespace kelvora::py {

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
