// Large scratch arrays of the involution.
//
// make_scratch<T>(n) returns room for n values of T (trivially copyable,
// left uninitialised). Arrays of at least 2 MiB are aligned to 2 MiB and
// advised to use transparent huge pages: the sort and the chunk copy reach
// them at random, and huge pages save most page faults and TLB misses
// (huge_pages.hpp). Out of memory is std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>
#include <type_traits>

#include "platform.hpp"

namespace kelvora::involution {

struct ScratchFree {
  void operator()(void* p) const noexcept { aligned_release(p); }
};

template <class T>
using Scratch = std::unique_ptr<T[], ScratchFree>;

void* allocate_scratch(std::size_t bytes);  // never null

template <class T>
Scratch<T> make_scratch(std::size_t n) {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_default_constructible_v<T>);
  if (n > std::size_t(-1) / sizeof(T)) throw std::bad_alloc();
  return Scratch<T>(static_cast<T*>(allocate_scratch(n * sizeof(T))));
}

// The first n values of `s` as bytes.
template <class T>
std::span<std::uint8_t> scratch_bytes(const Scratch<T>& s, std::size_t n) {
  return {reinterpret_cast<std::uint8_t*>(s.get()), n * sizeof(T)};
}

}  // namespace kelvora::involution
