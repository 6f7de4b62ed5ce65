// Compiler and operating-system differences, one macro (or helper) each.
//
// The rest of the core names a capability here instead of testing compilers
// or systems itself; what differs more than a line is in files named for
// their platform, each guarded by one test at its top (docs/platforms.md
// lists them):
//   KELVORA_POSIX     fork, signals, file descriptors (Linux, macOS)
//   KELVORA_WINDOWS   Win32: BCryptGenRandom, _aligned_malloc, no fork, no signals
//   KELVORA_MSVC      Microsoft's compiler proper (clang-cl speaks GCC's dialect too)
//   KELVORA_TARGET(features)   compiles one function for extra instruction sets;
//                     MSVC needs nothing to use any intrinsic anywhere
//   KELVORA_ALWAYS_INLINE      an inline function that is always inlined
//   KELVORA_KEEP_STORES(p)     the stores made through p so far count as read
//   KELVORA_PREFETCH(address[, rw, locality])  a prefetch hint (MSVC: a read into
//                     every cache level)
//   aligned_allocate / aligned_release   memory at a power-of-two alignment
//   map_zeroed / unmap_zeroed            zeroed pages straight from the system
//   mul_64x64_128(a, b, &high)           the full product of two 64-bit words
//   at_fork_child(fn)                    fn runs in the child of every later fork()
//   with_signals_blocked(fn, context)    threads fn starts block every signal
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <type_traits>

#if defined(_WIN32)
#define KELVORA_WINDOWS 1
#define KELVORA_POSIX 0
#include <malloc.h>
#else
#define KELVORA_WINDOWS 0
#define KELVORA_POSIX 1
#endif

#if defined(_MSC_VER) && !defined(__clang__)
#define KELVORA_MSVC 1
#include <intrin.h>
#else
#define KELVORA_MSVC 0
#endif

#if KELVORA_MSVC
#define KELVORA_TARGET(features)
#define KELVORA_ALWAYS_INLINE __forceinline
#define KELVORA_PREFETCH(address, ...) \
  _mm_prefetch(reinterpret_cast<const char*>(address), _MM_HINT_T0)
#else
#define KELVORA_TARGET(features) __attribute__((target(features)))
#define KELVORA_ALWAYS_INLINE __attribute__((always_inline)) inline
#define KELVORA_PREFETCH(...) __builtin_prefetch(__VA_ARGS__)
#endif

// A memset of a buffer about to die is a dead store the compiler may drop,
// unless the pointer escapes where the compiler cannot follow: into an empty
// asm statement that clobbers memory, or (MSVC has no inline assembly on
// x64) into a volatile variable, behind a compiler barrier.
#if KELVORA_MSVC
#define KELVORA_KEEP_STORES(p)                     \
  do {                                             \
    static thread_local void* volatile escape_;    \
    escape_ = (p);                                 \
    _ReadWriteBarrier();                           \
  } while (0)
#else
#define KELVORA_KEEP_STORES(p) __asm__ volatile("" : : "r"(p) : "memory")
#endif

namespace kelvora {

// `bytes` must be a multiple of `alignment`; null when out of memory. Only
// aligned_release may free the block (Windows keeps such blocks apart).
inline void* aligned_allocate(std::size_t alignment, std::size_t bytes) noexcept {
#if KELVORA_WINDOWS
  return _aligned_malloc(bytes, alignment);
#else
  return std::aligned_alloc(alignment, bytes);
#endif
}

inline void aligned_release(void* p) noexcept {
#if KELVORA_WINDOWS
  _aligned_free(p);
#else
  std::free(p);
#endif
}

// Zeroed pages straight from the system, for large tables, which go back to
// it as soon as they are released. (The allocator keeps a large block freed
// on a worker thread in that thread's arena, resident, where the next and
// slightly larger table cannot reuse it.) Aligned to `alignment` (a power of
// two) where the system can place a mapping so (POSIX), else to its
// allocation granularity (64 KiB on Windows); null when out of memory.
// unmap_zeroed takes the same byte count.
void* map_zeroed(std::size_t bytes, std::size_t alignment) noexcept;
void unmap_zeroed(void* p, std::size_t bytes) noexcept;

// The low word of a * b; the high word goes to *high.
inline std::uint64_t mul_64x64_128(std::uint64_t a, std::uint64_t b, std::uint64_t* high) {
#if KELVORA_MSVC
  return _umul128(a, b, high);
#else
  __extension__ using u128 = unsigned __int128;
  const u128 p = static_cast<u128>(a) * b;
  *high = std::uint64_t(p >> 64);
  return std::uint64_t(p);
#endif
}

// Registers fn to run in the child after each fork() of the process, on the
// thread that forked (which may be inside a signal handler: fn must keep to
// atomics and plain stores). Nothing happens where there is no fork.
// platform_posix.cpp, platform_windows.cpp.
void at_fork_child(void (*fn)()) noexcept;

// Calls fn(context) with every signal blocked on the calling thread, so that
// the threads it starts inherit that mask and signals reach the application's
// own threads; the old mask comes back however fn ends. Where there are no
// signal masks, just calls fn(context).
void with_signals_blocked(void (*fn)(void*), void* context);
template <class Fn>
void with_signals_blocked(Fn&& fn) {
  using F = std::remove_reference_t<Fn>;
  with_signals_blocked([](void* f) { (*static_cast<F*>(f))(); }, &fn);
}

}  // namespace kelvora
