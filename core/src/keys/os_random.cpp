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
#if KELVORA_VDSO_RANDOM
#include <elf.h>
#include <link.h>
#include <sys/auxv.h>
#include <sys/mman.h>

#include <cstring>
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "failure.hpp"
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

#if KELVORA_VDSO_RANDOM

// The kernel's getrandom in the vDSO, as the kernel documents it: one call
// with a null buffer and opaque_len = ~0 describes the state it wants, which
// each thread maps once with the protection and flags given (the kernel
// wipes such memory on fork and may drop it under pressure; the vDSO then
// reseeds). A request returns the byte count or -errno.
using VdsoGetrandomFn = long (*)(void* buf, std::size_t len, unsigned int flags, void* state,
                                 std::size_t state_len);
struct VdsoStateParams {
  std::uint32_t size_of_opaque_state;
  std::uint32_t mmap_prot;
  std::uint32_t mmap_flags;
  std::uint32_t reserved[13];
};
#if defined(__x86_64__)
constexpr const char* kVdsoGetrandom = "__vdso_getrandom";
#else
constexpr const char* kVdsoGetrandom = "__kernel_getrandom";
#endif

// The entry point, from the vDSO's dynamic symbols (ELF hash table), or null.
VdsoGetrandomFn find_vdso_getrandom() {
  const auto base = reinterpret_cast<const std::uint8_t*>(::getauxval(AT_SYSINFO_EHDR));
  if (base == nullptr) return nullptr;
  const auto* header = reinterpret_cast<const ElfW(Ehdr)*>(base);
  const auto* ph = reinterpret_cast<const ElfW(Phdr)*>(base + header->e_phoff);
  std::uintptr_t bias = 0;  // run-time address minus link-time address
  bool loaded = false;
  const ElfW(Dyn)* dyn = nullptr;
  for (std::size_t i = 0; i < header->e_phnum; ++i) {
    if (ph[i].p_type == PT_LOAD && !loaded) {
      bias = reinterpret_cast<std::uintptr_t>(base) + ph[i].p_offset - ph[i].p_vaddr;
      loaded = true;
    } else if (ph[i].p_type == PT_DYNAMIC) {
      dyn = reinterpret_cast<const ElfW(Dyn)*>(base + ph[i].p_offset);
    }
  }
  if (!loaded || dyn == nullptr) return nullptr;
  const ElfW(Sym)* symbols = nullptr;
  const char* names = nullptr;
  const ElfW(Word)* hash = nullptr;
  for (; dyn->d_tag != DT_NULL; ++dyn) {
    const std::uintptr_t at = dyn->d_un.d_ptr + bias;
    if (dyn->d_tag == DT_SYMTAB) symbols = reinterpret_cast<const ElfW(Sym)*>(at);
    if (dyn->d_tag == DT_STRTAB) names = reinterpret_cast<const char*>(at);
    if (dyn->d_tag == DT_HASH) hash = reinterpret_cast<const ElfW(Word)*>(at);
  }
  if (symbols == nullptr || names == nullptr || hash == nullptr) return nullptr;
  for (ElfW(Word) i = 0; i < hash[1]; ++i) {  // hash[1]: the symbol count
    const ElfW(Sym)& sym = symbols[i];
    if (ELF64_ST_TYPE(sym.st_info) == STT_FUNC && sym.st_shndx != SHN_UNDEF &&
        std::strcmp(names + sym.st_name, kVdsoGetrandom) == 0)
      return reinterpret_cast<VdsoGetrandomFn>(sym.st_value + bias);
  }
  return nullptr;
}

// The entry point and the state it wants, published by the release store of
// g_vdso_ready (kNotLookedUp, kUnavailable, or 2 when usable). Racing first
// users each look it up; they store the same answer.
std::atomic<std::uintptr_t> g_vdso_ready{kNotLookedUp};
std::atomic<VdsoGetrandomFn> g_vdso_fn{nullptr};
std::atomic<std::uint32_t> g_vdso_state_size{0}, g_vdso_prot{0}, g_vdso_flags{0};

// The vDSO asks the kernel for a new key through the system call from time to
// time, so it serves only where that call does (a seccomp filter may refuse
// it, and /dev/urandom then serves instead).
bool vdso_available() {
  std::uintptr_t ready = g_vdso_ready.load(std::memory_order_acquire);
  if (ready == kNotLookedUp) {
    ready = kUnavailable;
    VdsoStateParams params{};
    const VdsoGetrandomFn fn = getrandom_entry() != nullptr ? find_vdso_getrandom() : nullptr;
    if (fn != nullptr && fn(nullptr, 0, 0, &params, ~std::size_t(0)) == 0 &&
        params.size_of_opaque_state != 0 &&
        params.size_of_opaque_state <= std::size_t(::sysconf(_SC_PAGESIZE))) {
      g_vdso_fn.store(fn, std::memory_order_relaxed);
      g_vdso_state_size.store(params.size_of_opaque_state, std::memory_order_relaxed);
      g_vdso_prot.store(params.mmap_prot, std::memory_order_relaxed);
      g_vdso_flags.store(params.mmap_flags, std::memory_order_relaxed);
      ready = 2;
    }
    g_vdso_ready.store(ready, std::memory_order_release);
  }
  return ready == 2;
}

// This thread's state: one page mapped on its first request and unmapped when
// the thread ends. A failed mapping is not tried again by the thread, and
// neither is one already unmapped: a draw from a later destructor of the
// ending thread (at process exit, say) takes the system call.
class VdsoThreadState {
 public:
  ~VdsoThreadState() {
    if (page_ != nullptr && page_ != MAP_FAILED) ::munmap(page_, size_);
    page_ = MAP_FAILED;
  }
  void* get() {
    if (page_ == nullptr) {
      size_ = std::size_t(::sysconf(_SC_PAGESIZE));
      page_ = ::mmap(nullptr, size_, int(g_vdso_prot.load(std::memory_order_relaxed)),
                     int(g_vdso_flags.load(std::memory_order_relaxed)), -1, 0);
    }
    return page_ == MAP_FAILED ? nullptr : page_;
  }

 private:
  void* page_ = nullptr;
  std::size_t size_ = 0;
};
thread_local VdsoThreadState t_vdso_state;

#endif

}  // namespace

// See header.
bool os_random::vdso_usable() {
#if KELVORA_VDSO_RANDOM
  return vdso_available() && t_vdso_state.get() != nullptr;
#else
  return false;
#endif
}

namespace {

// Fills `out` through the vDSO; false, with `out` partly written, when the
// vDSO is not usable here or answers with an error other than EINTR.
bool fill_through_vdso(std::span<std::uint8_t> out) {
#if KELVORA_VDSO_RANDOM
  void* state = os_random::vdso_usable() ? t_vdso_state.get() : nullptr;
  if (state == nullptr) return false;
  const VdsoGetrandomFn fn = g_vdso_fn.load(std::memory_order_relaxed);
  const std::size_t state_size = g_vdso_state_size.load(std::memory_order_relaxed);
  for (std::size_t done = 0; done < out.size();) {
    const long got = fn(out.data() + done, out.size() - done, 0, state, state_size);
    if (got == -EINTR) continue;
    if (got <= 0 || std::size_t(got) > out.size() - done) return false;
    done += std::size_t(got);
  }
  return true;
#else
  (void)out;
  return false;
#endif
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
