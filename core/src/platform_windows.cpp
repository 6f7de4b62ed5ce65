// Windows has neither fork() nor signal masks; see platform.hpp.
#if defined(_WIN32)

#include "platform.hpp"

namespace kelvora {

// See header.
void at_fork_child(void (*)()) noexcept {}

// See header.
void with_signals_blocked(void (*fn)(void*), void* context) { fn(context); }

}  // namespace kelvora

#endif
