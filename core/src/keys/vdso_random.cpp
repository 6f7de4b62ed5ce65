// The kernel's getrandom in the vDSO; see vdso_random.hpp.
#include "keys/vdso_random.hpp"

#include <cerrno>

#if defined(__linux__) && (defined(__x86_64__) || defined(__aarch64__))
#define KELVORA_VDSO_RANDOM 1
#include <elf.h>
#include <link.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#else
#define KELVORA_VDSO_RANDOM 0
#endif

namespace kelvora::vdso_random {

#if KELVORA_VDSO_RANDOM

namespace {

// The entry point's signature, and the description of the state it wants, as
// the kernel documents them.
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
// g_vdso_ready. Racing first users each look it up; they store the same
// answer.
enum : int { kNotLookedUp, kUnavailable, kReady };
std::atomic<int> g_vdso_ready{kNotLookedUp};
std::atomic<VdsoGetrandomFn> g_vdso_fn{nullptr};
std::atomic<std::uint32_t> g_vdso_state_size{0}, g_vdso_prot{0}, g_vdso_flags{0};

bool vdso_available() {
  int ready = g_vdso_ready.load(std::memory_order_acquire);
  if (ready == kNotLookedUp) {
    ready = kUnavailable;
    VdsoStateParams params{};
    const VdsoGetrandomFn fn = find_vdso_getrandom();
    if (fn != nullptr && fn(nullptr, 0, 0, &params, ~std::size_t(0)) == 0 &&
        params.size_of_opaque_state != 0 &&
        params.size_of_opaque_state <= std::size_t(::sysconf(_SC_PAGESIZE))) {
      g_vdso_fn.store(fn, std::memory_order_relaxed);
      g_vdso_state_size.store(params.size_of_opaque_state, std::memory_order_relaxed);
      g_vdso_prot.store(params.mmap_prot, std::memory_order_relaxed);
      g_vdso_flags.store(params.mmap_flags, std::memory_order_relaxed);
      ready = kReady;
    }
    g_vdso_ready.store(ready, std::memory_order_release);
  }
  return ready == kReady;
}

// This thread's state: one page mapped on its first request and unmapped when
// the thread ends. A failed mapping is not tried again by the thread, and
// neither is one already unmapped.
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

}  // namespace

// See header.
bool usable() { return vdso_available() && t_vdso_state.get() != nullptr; }

// See header.
long read(std::uint8_t* p, std::size_t n) {
  return g_vdso_fn.load(std::memory_order_relaxed)(
      p, n, 0, t_vdso_state.get(), g_vdso_state_size.load(std::memory_order_relaxed));
}

#else

bool usable() { return false; }
long read(std::uint8_t*, std::size_t) { return -ENOSYS; }

#endif

}  // namespace kelvora::vdso_random
