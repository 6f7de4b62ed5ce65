// The kernel's getrandom in the Linux vDSO; see vdso_random.hpp.
#if defined(__linux__)

#include <elf.h>
#include <link.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "keys/vdso_random.hpp"

namespace kelvora::vdso_random {
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
// The entry point's name: x86-64's, and that of aarch64 and the others.
constexpr const char* kNames[] = {"__vdso_getrandom", "__kernel_getrandom"};

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
    if (ELF64_ST_TYPE(sym.st_info) != STT_FUNC || sym.st_shndx == SHN_UNDEF) continue;
    for (const char* name : kNames)
      if (std::strcmp(names + sym.st_name, name) == 0)
        return reinterpret_cast<VdsoGetrandomFn>(sym.st_value + bias);
  }
  return nullptr;
}

// The entry point and the state it wants; fn is null where the vDSO has none.
struct Entry {
  VdsoGetrandomFn fn = nullptr;
  VdsoStateParams params{};
};

Entry find_entry() {
  Entry e;
  const VdsoGetrandomFn fn = find_vdso_getrandom();
  if (fn != nullptr && fn(nullptr, 0, 0, &e.params, ~std::size_t(0)) == 0 &&
      e.params.size_of_opaque_state != 0 &&
      e.params.size_of_opaque_state <= std::size_t(::sysconf(_SC_PAGESIZE)))
    e.fn = fn;
  return e;
}

// Looked up by the first user; racing first users wait for its answer.
[[gnu::always_inline]] inline const Entry& entry() {
  static const Entry found = find_entry();
  return found;
}

// This thread's state: one page mapped on its first request and unmapped when
// the thread ends. A failed mapping is not tried again by the thread, and
// neither is one already unmapped. The page's address lives in a trivially
// destructible object, which lasts as long as the thread: a store into an
// object in its own destructor is dead to the compiler, which may drop it.
thread_local void* t_page = nullptr;  // nullptr: not mapped yet; MAP_FAILED: none

struct Unmapper {
  ~Unmapper() {
    if (t_page != nullptr && t_page != MAP_FAILED)
      ::munmap(t_page, std::size_t(::sysconf(_SC_PAGESIZE)));
    t_page = MAP_FAILED;
  }
  void arm() {}
};
thread_local Unmapper t_unmapper;

// This thread's state, mapped on first use; MAP_FAILED when there is none.
[[gnu::noinline]] void* map_thread_state() {
  t_unmapper.arm();  // its destructor now runs when the thread ends
  t_page = ::mmap(nullptr, std::size_t(::sysconf(_SC_PAGESIZE)), int(entry().params.mmap_prot),
                  int(entry().params.mmap_flags), -1, 0);
  return t_page;
}

// This thread's state, or null where a request cannot be made.
[[gnu::always_inline]] inline void* state_here(const Entry& e) {
  if (e.fn == nullptr) return nullptr;
  void* const state = t_page != nullptr ? t_page : map_thread_state();
  return state == MAP_FAILED ? nullptr : state;
}

}  // namespace

// See header.
bool usable() { return state_here(entry()) != nullptr; }

// See header.
long read(std::uint8_t* p, std::size_t n) {
  const Entry& e = entry();
  void* const state = state_here(e);
  if (state == nullptr) return -ENOSYS;
  return e.fn(p, n, 0, state, e.params.size_of_opaque_state);
}

}  // namespace kelvora::vdso_random

#endif
