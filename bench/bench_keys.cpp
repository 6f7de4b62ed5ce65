// Where one gen_key goes, stage by stage, on one thread: the random source
// (32 bytes from the vDSO, or one system call), the key derivation's hashes,
// the generator's first refill, the draws and swaps of the shuffle, and the
// whole derivation with and without the fresh bytes. bench/bench_keys.py prints these beside the
// Python-level call and os.urandom(32).
//
//   build/<dir>/bench/bench_keys
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "keys/chacha_generator.hpp"
#include "keys/key_table.hpp"
#include "keys/os_random.hpp"
#include "keys/shuffle.hpp"
#include "primitives/hmac.hpp"

namespace {

using namespace kelvora;

// The benchmark's labels: "party-0" and "session", as in bench_keys.py, put
// the HKDF info one byte past a single padded block.
constexpr std::uint8_t kParty[] = {'p', 'a', 'r', 't', 'y', '-', '0'};
constexpr std::uint8_t kPurpose[] = {'s', 'e', 's', 's', 'i', 'o', 'n'};
constexpr std::array<std::uint8_t, kMasterSeedSize> kSeed{1, 2, 3};
constexpr std::array<std::uint8_t, kGeneratorKeySize> kKey{4, 5, 6};

void BM_os_random_32(benchmark::State& state) {
  FreshBytes fresh;
  for (auto _ : state) {
    fill_os_random(fresh);
    benchmark::DoNotOptimize(fresh);
  }
}

// HKDF-Extract (two compressions: the zero salt's pad blocks are hashed once
// per process) and the one-block HKDF-Expand: the PRK's two pad blocks, then
// the info and counter (two blocks) and the outer block.
void BM_hkdf(benchmark::State& state) {
  const HmacSha256 zero_salt(ByteView{});
  Bytes message = derivation_info(kParty, kPurpose, FreshBytes{});
  message.push_back(0x01);
  for (auto _ : state) {
    const Sha256Digest prk = zero_salt.mac(kSeed);
    const Sha256Digest key = HmacSha256(prk).mac(message);
    benchmark::DoNotOptimize(key);
  }
}

// Keying, one eight-block refill, and the wipe at the end.
void BM_generator_refill(benchmark::State& state) {
  for (auto _ : state) {
    ChaCha20Generator gen(kKey);
    benchmark::DoNotOptimize(gen.next_word());
  }
}

// The same, then the shuffle of a key table (58 draws and 255 swaps). The key
// changes every time, as it does from call to call: with one key the draws'
// branches would repeat and the processor would learn them.
void BM_generator_shuffle(benchmark::State& state) {
  std::array<std::uint8_t, kGeneratorKeySize> key = kKey;
  for (std::uint32_t n = 0; auto _ : state) {
    std::memcpy(key.data() + 16, &++n, sizeof n);
    ChaCha20Generator gen(key);
    KeyTable table;
    for (std::size_t k = 0; k < table.size(); ++k) table[k] = std::uint8_t(k);
    shuffle_bytes(table, gen);
    benchmark::DoNotOptimize(table);
  }
}

void BM_derive_fresh_given(benchmark::State& state) {
  FreshBytes fresh{7};
  for (std::uint32_t n = 0; auto _ : state) {
    std::memcpy(fresh.data() + 16, &++n, sizeof n);  // new draws each time, as from the system
    KeyTable table = derive_key_table(kParty, kPurpose, kSeed, fresh);
    benchmark::DoNotOptimize(table);
  }
}

void BM_derive(benchmark::State& state) {
  for (auto _ : state) {
    KeyTable table = derive_key_table(kParty, kPurpose, kSeed);
    benchmark::DoNotOptimize(table);
  }
}

BENCHMARK(BM_os_random_32);
BENCHMARK(BM_hkdf);
BENCHMARK(BM_generator_refill);
BENCHMARK(BM_generator_shuffle);
BENCHMARK(BM_derive_fresh_given);
BENCHMARK(BM_derive);

}  // namespace

BENCHMARK_MAIN();
