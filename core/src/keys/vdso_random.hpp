// The kernel's getrandom in the vDSO (Linux 6.11 and later on x86-64, 6.14 on
// aarch64): the same generator as the system call, reached without entering
// the kernel.
//
// The entry point is looked up once, by name in the vDSO's own dynamic
// symbols, and asked once for the state it wants (the kernel's documented
// query: a null buffer with opaque_len = ~0). Each thread maps one page for
// that state, with the protection and flags the kernel gives (memory the
// kernel wipes in a forked child, so a child never repeats its parent's
// bytes, and may drop under pressure, after which the vDSO reseeds), on its
// first request, and unmaps it when it ends; a draw made after that by the
// ending thread (from a later destructor at process exit, say) finds no state.
//
// read(p, n): one request with flags 0 for at most n bytes at p, on this
// thread's state; the byte count, or -errno: -ENOSYS where the vDSO has no
// getrandom (other systems, older kernels, emulators without the entry
// point) or this thread has no state. usable(): read would not answer
// -ENOSYS. vdso_random_linux.cpp, vdso_random_none.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvora::vdso_random {

bool usable();
long read(std::uint8_t* p, std::size_t n);

}  // namespace kelvora::vdso_random
