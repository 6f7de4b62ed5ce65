// What the thread of a long call meets that differs by operating system and
// C++ runtime; unlocked.cpp names these instead of testing systems itself.
//
//   park_thread()      blocks the calling thread until the process ends
//   kThreadEndIsCaught whether `catch (...)` around a request for the
//                      interpreter lock stops the interpreter's ending of the
//                      thread before it reaches the call's other frames
//
// While CPython 3.9 to 3.13 finalizes, a thread that asks for the lock is
// ended in place (pthread_exit, _endthreadex); 3.14 and later hang it instead.
//   - glibc with libstdc++: pthread_exit unwinds the stack (forced
//     unwinding), which `catch (...)` catches; a handler that never returns
//     keeps the thread there, and the frames below stay untouched.
//   - Windows, macOS, musl: the thread ends without its C++ frames being
//     unwound, or, where the runtime unwinds, libc++abi stops the forced
//     unwinding at `catch (...)` as libstdc++ does.
//   - glibc with libc++ (the manylinux wheels, built by zig with its own
//     static libc++ and unwinder): glibc unwinds with libgcc_s, whose frame
//     state libc++abi then reads through the other unwinder, which crashes
//     the process before any handler. There a thread must not ask for the
//     lock once the interpreter may end it (see take_lock in unlocked.cpp).
#pragma once

#include <cstdlib>  // the C library's identification macros
#include <version>  // the C++ library's

namespace kelvora::py {

[[noreturn]] void park_thread() noexcept;

#if defined(__GLIBC__) && defined(_LIBCPP_VERSION)
inline constexpr bool kThreadEndIsCaught = false;
#else
inline constexpr bool kThreadEndIsCaught = true;
#endif

}  // namespace kelvora::py
