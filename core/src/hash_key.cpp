// The per-process hash key; see hash_key.hpp.
#include "hash_key.hpp"

#include <array>
#include <atomic>
#include <chrono>
#include <span>

#include "bytes.hpp"
#include "failure.hpp"
#include "keys/os_random.hpp"
#include "platform.hpp"

namespace kelvora {
namespace {

std::atomic<std::uint64_t> g_key{0};  // 0: to be drawn

std::uint64_t mix64(std::uint64_t x) {
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

std::uint64_t draw_key() {
  // The child of fork() draws a key of its own.
  [[maybe_unused]] static const bool forgotten_in_children =
      (at_fork_child([] { g_key.store(0, std::memory_order_relaxed); }), true);
  std::array<std::uint8_t, 8> bytes{};
  std::uint64_t key;
  try {
    fill_os_random(bytes);
    key = load64_le(bytes.data());
  } catch (const InternalFailure&) {
    key = mix64(std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                std::uint64_t(reinterpret_cast<std::uintptr_t>(&bytes)));
  }
  key |= 1;
  // Racing first users each draw one; the first stored is the process's.
  std::uint64_t expected = 0;
  return g_key.compare_exchange_strong(expected, key, std::memory_order_relaxed) ? key : expected;
}

}  // namespace

// See header.
std::uint64_t process_hash_key() {
  const std::uint64_t key = g_key.load(std::memory_order_relaxed);
  return key != 0 ? key : draw_key();
}

}  // namespace kelvora
