// Key derivation: known answers from the independent Python model in
// gen_key_vectors.py (hashlib/hmac HKDF, a direct ChaCha20 block function,
// itself checked against RFC 5869 and RFC 8439 vectors), the shuffle's batch
// structure, and nothing secret left on the stack. The operating system
// random source is tested in os_random_test.cpp. That the tables of gen_key
// are permutations and differ from call to call is checked in
// tests/test_keys.py.
#include <gtest/gtest.h>

#include "platform.hpp"

#if KELVORA_POSIX
#include <pthread.h>
#include <semaphore.h>
#include <sys/mman.h>
#endif

#include <algorithm>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <ostream>
#include <string>
#include <unordered_set>
#include <vector>

#include "failure.hpp"
#include "hex_util.hpp"
#include "keys/chacha_generator.hpp"
#include "keys/chacha_x4.hpp"
#include "keys/key_table.hpp"
#include "keys/os_random.hpp"
#include "keys/shuffle.hpp"

namespace kelvora {
namespace {

struct TableVector {
  const char* party;
  const char* purpose;
  const char* seed;
  const char* fresh;
  const char* table;
};
struct DrawVector {
  int key;
  std::uint32_t bound;
  std::uint32_t result;
  int words_used;
  std::uint32_t next_word;
};
struct BoundaryDraw {
  int key;
  int skip;
  std::uint32_t bound;
  std::uint32_t result;
  std::uint32_t next_word;
};
struct BatchVector {
  std::uint32_t start;
  std::uint32_t bound;
  std::uint32_t count;
};
struct SecretVector {
  int derivation;
  const char* what;
  const char* value;
};

#include "key_vectors.inc"

void PrintTo(const TableVector& v, std::ostream* os) {
  *os << "party " << v.party << " purpose " << v.purpose;
}
void PrintTo(const DrawVector& v, std::ostream* os) {
  *os << "key " << v.key << " bound " << v.bound;
}

using test::from_hex;

template <std::size_t N>
std::array<std::uint8_t, N> unhex_array(std::string_view hex) {
  Bytes b = from_hex(hex);
  EXPECT_EQ(b.size(), N);
  std::array<std::uint8_t, N> a{};
  std::copy_n(b.begin(), std::min(N, b.size()), a.begin());
  return a;
}

std::string message_of(auto&& fn) {
  try {
    fn();
  } catch (const InternalFailure& f) {
    return f.message();
  }
  return "<no failure>";
}

// --- derive_key_table -------------------------------------------------------

class KeyTableKat : public testing::TestWithParam<TableVector> {};

TEST_P(KeyTableKat, MatchesModel) {
  const TableVector& v = GetParam();
  const Bytes party = from_hex(v.party), purpose = from_hex(v.purpose);
  const auto seed = unhex_array<32>(v.seed);
  const auto fresh = unhex_array<32>(v.fresh);
  const auto want = unhex_array<256>(v.table);
  EXPECT_EQ(derive_key_table(party, purpose, seed, fresh), want);
}

INSTANTIATE_TEST_SUITE_P(Model, KeyTableKat, testing::ValuesIn(kTableVectors));

FreshBytes g_fixed_fresh;
void fill_fixed(std::span<std::uint8_t> out) {
  ASSERT_EQ(out.size(), g_fixed_fresh.size());
  std::copy(g_fixed_fresh.begin(), g_fixed_fresh.end(), out.begin());
}

TEST(KeyTable, WrapperFeedsDrawnBytesIntoDerivation) {
  const TableVector& v = kTableVectors[2];
  g_fixed_fresh = unhex_array<32>(v.fresh);
  const auto seed = unhex_array<32>(v.seed);
  EXPECT_EQ(derive_key_table(from_hex(v.party), from_hex(v.purpose), seed, fill_fixed),
            unhex_array<256>(v.table));
}

// --- ChaCha20Generator and bounded_draw --------------------------------------

std::array<std::uint8_t, 32> draw_key(int index) {
  std::array<std::uint8_t, 32> key{};
  if (index == 1) {
    for (std::size_t k = 0; k < key.size(); ++k) key[k] = std::uint8_t(k);
  }
  return key;
}

TEST(Generator, WordsInBlockOrderAcrossRefills) {
  ChaCha20Generator gen(draw_key(0));
  for (std::size_t k = 0; k < std::size(kZeroKeyWords); ++k) {
    ASSERT_EQ(gen.next_word(), kZeroKeyWords[k]) << "word " << k;
  }
}

class SingleDraw : public testing::TestWithParam<DrawVector> {};

// The word after the draw shows how many words the draw consumed.
TEST_P(SingleDraw, ResultAndWordsConsumed) {
  const DrawVector& v = GetParam();
  ChaCha20Generator gen(draw_key(v.key));
  EXPECT_EQ(bounded_draw(gen, v.bound), v.result) << "bound " << v.bound;
  EXPECT_EQ(gen.next_word(), v.next_word) << "bound " << v.bound << " uses " << v.words_used;
}

INSTANTIATE_TEST_SUITE_P(Model, SingleDraw, testing::ValuesIn(kSingleDraws));

// The low half exactly at 2^32 - bound takes no second word, from buffered
// words (the inline draw) and from an empty buffer.
TEST(BoundedDraw, ThresholdItselfTakesOneWord) {
  for (const BoundaryDraw& v : kBoundaryDraws) {
    ChaCha20Generator gen(draw_key(v.key));
    for (int k = 0; k < v.skip; ++k) ASSERT_EQ(bounded_draw(gen, 1), 0u);
    EXPECT_EQ(bounded_draw(gen, v.bound), v.result) << "key " << v.key << " skip " << v.skip;
    EXPECT_EQ(gen.next_word(), v.next_word) << "key " << v.key << " skip " << v.skip;
  }
}

TEST(BoundedDraw, LongSequenceAcrossRefills) {
  ChaCha20Generator gen(draw_key(1));
  for (std::size_t k = 0; k < std::size(kSequenceResults); ++k) {
    ASSERT_EQ(bounded_draw(gen, kSequenceBounds[k % std::size(kSequenceBounds)]),
              kSequenceResults[k])
        << "draw " << k;
  }
  EXPECT_EQ(gen.next_word(), kSequenceNextWord);
}

TEST(BoundedDraw, ZeroBoundIsInternalFailure) {
  ChaCha20Generator gen(draw_key(0));
  EXPECT_EQ(message_of([&] { bounded_draw(gen, 0); }), "assertion failed: bound > 0");
}

// --- Four-block refill back ends -------------------------------------------

struct X4Backend {
  const char* name;
  ChaChaX4Fn fn;
  bool (*available)();
};
void PrintTo(const X4Backend& b, std::ostream* os) { *os << b.name; }

const X4Backend kX4Backends[] = {
    {"portable", chacha20_x4_portable, [] { return true; }},
    {"active",
     [](const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream, ChaChaLanes& out) {
       chacha20_x4_active()(key, counter, stream, out);
     },
     [] { return true; }},
    {"sse2", chacha20_x4_sse2, chacha20_sse2_available},
    {"avx512", chacha20_x4_avx512, chacha20_avx512_available},
    {"neon", chacha20_x4_neon, chacha20_neon_available},
};

// Runs `refill` (`blocks` consecutive blocks into a flat array, keystream
// order) under both keys, two streams and every counter, and compares each
// block with the block function at its own counter.
template <class Refill>
void expect_single_blocks(std::size_t blocks, std::initializer_list<std::uint64_t> counters,
                          Refill refill) {
  const std::uint64_t streams[] = {0, 0x0123456789ABCDEFull};
  for (int k = 0; k < 2; ++k) {
    const auto raw = draw_key(k);
    ChaChaKey key;
    for (std::size_t n = 0; n < 8; ++n) key[n] = load32_le(raw.data() + 4 * n);
    for (std::uint64_t c : counters) {
      for (std::uint64_t s : streams) {
        ChaChaEightBlocks got{};
        refill(key, c, s, got);
        for (std::uint64_t b = 0; b < blocks; ++b) {
          ChaChaBlock want;
          chacha20_block(key, c + b, s, want);
          for (std::size_t i = 0; i < 16; ++i) {
            ASSERT_EQ(got[16 * b + i], want[i])
                << "counter " << c << " block " << b << " word " << i;
          }
        }
      }
    }
  }
}

class ChaChaX4 : public testing::TestWithParam<X4Backend> {};

// Each lane equals the block function at its own counter, including the
// counters whose low word or whole value wraps inside the four blocks.
TEST_P(ChaChaX4, EqualsFourSingleBlocks) {
  if (!GetParam().available()) GTEST_SKIP() << GetParam().name << " not available on this machine";
  const ChaChaX4Fn fn = GetParam().fn;
  expect_single_blocks(4, {0, 1, 0xFFFFFFFDull, 0xFFFFFFFFull, 0x1234567800000000ull,
                           ~std::uint64_t(0) - 1},
                       [&](const ChaChaKey& key, std::uint64_t c, std::uint64_t s,
                           ChaChaEightBlocks& out) {
                         ChaChaLanes lanes{};
                         fn(key, c, s, lanes);
                         for (std::size_t b = 0; b < 4; ++b)
                           for (std::size_t i = 0; i < 16; ++i) out[16 * b + i] = lanes[i][b];
                       });
}

INSTANTIATE_TEST_SUITE_P(Backends, ChaChaX4, testing::ValuesIn(kX4Backends),
                         [](const auto& info) { return std::string(info.param.name); });

// The eight-block back end: block after block in keystream order, each equal
// to the block function at its own counter, including counters whose low
// word or whole value wraps inside the eight.
TEST(ChaChaX8, EqualsEightSingleBlocks) {
  if (!chacha20_avx512_available()) GTEST_SKIP() << "avx512 not available on this machine";
  expect_single_blocks(8, {0, 0xFFFFFFF9ull, 0xFFFFFFFFull, ~std::uint64_t(0) - 5},
                       chacha20_x8_avx512);
}

// --- Nothing secret left behind -----------------------------------------------
// A thread on a stack of the test's own memory (mmap, pthread_attr_setstack)
// shows what a call left there: POSIX only.
#if KELVORA_POSIX


struct StackRun {
  const std::function<void()>* fn;
  sem_t done, resume;
};

void* run_then_wait(void* arg) {
  auto* run = static_cast<StackRun*>(arg);
  (*run->fn)();
  sem_post(&run->done);
  while (sem_wait(&run->resume) != 0) {
  }
  return nullptr;
}

// Read without the sanitizer's checks: the waiting thread's live frames keep
// their poisoned red zones.
__attribute__((no_sanitize_address)) Bytes copy_memory(const std::uint8_t* p, std::size_t n) {
  Bytes out(n);
  const volatile std::uint8_t* from = p;
  for (std::size_t i = 0; i < n; ++i) out[i] = from[i];
  return out;
}

// The stack `fn` ran on, as it is once fn has returned: fn runs on a thread
// whose stack is memory of the test's own, and the thread waits while the
// copy is made, so only its waiting frames have been written since.
Bytes stack_after(const std::function<void()>& fn) {
  constexpr std::size_t kStack = std::size_t(1) << 20;
  void* stack = mmap(nullptr, kStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  EXPECT_NE(stack, MAP_FAILED);
  if (stack == MAP_FAILED) return {};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, stack, kStack);
  StackRun run{&fn, {}, {}};
  sem_init(&run.done, 0, 0);
  sem_init(&run.resume, 0, 0);
  pthread_t thread;
  EXPECT_EQ(pthread_create(&thread, &attr, run_then_wait, &run), 0);
  while (sem_wait(&run.done) != 0) {
  }
  Bytes copy = copy_memory(static_cast<const std::uint8_t*>(stack), kStack);
  sem_post(&run.resume);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  munmap(stack, kStack);
  return copy;
}

// Code built with AddressSanitizer keeps what the optimised build holds in
// registers in instrumented frames instead (red-zoned locals, extra spills)
// that no wipe of the product's reaches: the stack tests below speak for the
// optimised build, and the sanitizer build skips them.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// The names of the secrets of `derivation` (kSecrets) of which at least two 4-byte pieces
// appear in `memory`, in either byte order (hash states sit in memory as
// native words, digests as big-endian bytes). One stray match is chance; a
// left-over buffer shows most of its pieces.
std::string secrets_in(const Bytes& memory, int derivation) {
  std::unordered_set<std::uint32_t> words;
  for (std::size_t i = 0; i + 4 <= memory.size(); ++i) {
    if (const std::uint32_t w = load32_le(&memory[i]); w != 0) words.insert(w);
  }
  std::string found;
  for (const SecretVector& s : kSecrets) {
    if (s.derivation != derivation) continue;
    const Bytes value = from_hex(s.value);
    int pieces = 0;
    for (std::size_t k = 0; k < value.size(); k += 4) {
      const std::uint32_t w = load32_le(&value[k]);
      pieces += words.contains(w) || words.contains(__builtin_bswap32(w));
    }
    if (pieces >= 2) found += std::string(found.empty() ? "" : ", ") + s.what;
  }
  return found;
}

class NoSecretLeft : public testing::TestWithParam<int> {};

// A derivation as gen_key runs it (fresh bytes from the source, then the
// table) leaves none of its secrets on the stack it ran on.
TEST_P(NoSecretLeft, AfterDerivation) {
  if (kAddressSanitizer) GTEST_SKIP() << "stack contents of an instrumented build";
  const TableVector& v = kTableVectors[GetParam()];
  g_fixed_fresh = unhex_array<32>(v.fresh);
  const auto seed = unhex_array<32>(v.seed);
  const Bytes party = from_hex(v.party), purpose = from_hex(v.purpose);
  KeyTable table{};
  const Bytes stack = stack_after([&] { table = derive_key_table(party, purpose, seed, fill_fixed); });
  ASSERT_EQ(table, unhex_array<256>(v.table));
  EXPECT_EQ(secrets_in(stack, GetParam()), "");
}

INSTANTIATE_TEST_SUITE_P(StackBufferAndHeapInfo, NoSecretLeft, testing::Values(9, 13));

// Each four-block refill back end leaves neither its key nor its keystream
// nor its rounds' state on the stack (the output goes to the heap).
TEST_P(ChaChaX4, LeavesNoSecretOnTheStack) {
  if (!GetParam().available()) GTEST_SKIP() << GetParam().name << " not available on this machine";
  if (kAddressSanitizer) GTEST_SKIP() << "stack contents of an instrumented build";
  const SecretVector* key_row =
      std::find_if(std::begin(kSecrets), std::end(kSecrets),
                   [](const SecretVector& s) { return s.derivation == -1; });
  ASSERT_STREQ(key_row->what, "key");
  const auto raw = unhex_array<32>(key_row->value);
  ChaChaKey key;
  for (std::size_t n = 0; n < 8; ++n) key[n] = load32_le(raw.data() + 4 * n);
  const auto lanes = std::make_unique<ChaChaLanes>();
  const Bytes stack = stack_after([&] { GetParam().fn(key, 0, 0, *lanes); });
  secure_wipe(key.data(), sizeof key);
  EXPECT_EQ(secrets_in(stack, -1), "");
}

#endif  // KELVORA_POSIX

// --- IndexChooser and the batches -----------------------------------------

struct RecordedDraw {
  std::uint32_t position;
  std::uint32_t bound;
};

// Runs the chooser over 256 positions with `answer(bound)` as the draw.
template <class Answer>
std::vector<RecordedDraw> run_chooser(Answer answer, std::vector<std::uint32_t>* indices) {
  std::vector<RecordedDraw> draws;
  IndexChooser chooser;
  for (std::uint32_t i = 0; i < kKeyTableSize; ++i) {
    const std::uint32_t j = chooser.next([&](std::uint32_t bound) {
      draws.push_back({i, bound});
      return answer(bound);
    });
    if (indices) indices->push_back(j);
  }
  return draws;
}

// The chooser draws once per batch, at the batch's first position, with the
// batch's bound; index_batch gives the same batches, and beyond 256 too.
TEST(IndexChooser, Batches) {
  const auto draws = run_chooser([](std::uint32_t) { return 0u; }, nullptr);
  ASSERT_EQ(draws.size(), std::size(kBatches));
  for (std::size_t k = 0; k < draws.size(); ++k) {
    EXPECT_EQ(draws[k].position, kBatches[k].start) << "batch " << k;
    EXPECT_EQ(draws[k].bound, kBatches[k].bound) << "batch " << k;
  }
  for (const BatchVector& b : kBatches) {
    const IndexBatch got = index_batch(b.start + 1);
    EXPECT_EQ(got.bound, b.bound) << "start " << b.start;
    EXPECT_EQ(got.count, b.count) << "start " << b.start;
  }
  const IndexBatch past = index_batch(257);  // 257 * 258 * 259
  EXPECT_EQ(past.bound, 17173254u);
  EXPECT_EQ(past.count, 3u);
  const IndexBatch top = index_batch(0xFFFFFFFFu);  // a lone factor still fits
  EXPECT_EQ(top.bound, 0xFFFFFFFFu);
  EXPECT_EQ(top.count, 1u);
  EXPECT_EQ(message_of([] { index_batch(0); }), "assertion failed: next >= 1");
}

// Mixed-radix digits: draw 0 gives every index 0; draw bound - 1 gives every
// digit its maximum, so position i chooses i itself.
TEST(IndexChooser, ExtremeDrawsGiveExtremeIndices) {
  std::vector<std::uint32_t> low, high;
  run_chooser([](std::uint32_t) { return 0u; }, &low);
  run_chooser([](std::uint32_t bound) { return bound - 1; }, &high);
  for (std::uint32_t i = 0; i < kKeyTableSize; ++i) {
    EXPECT_EQ(low[i], 0u) << i;
    EXPECT_EQ(high[i], i) << i;
  }
}

// shuffle_bytes follows a precomputed plan for tables of up to 256 entries;
// it must pick the very indices of the chooser, for every prefix size.
TEST(ShuffleBytes, PlanEqualsChooser) {
  const std::size_t sizes[] = {0, 1, 2, 3, 11, 12, 13, 19, 100, 255, 256};
  for (std::uint8_t seed = 0; seed < 10; ++seed) {
    std::array<std::uint8_t, 32> key{};
    key[0] = seed;
    key[31] = std::uint8_t(seed * 7);
    for (std::size_t size : sizes) {
      Bytes got(size), want(size);
      for (std::size_t k = 0; k < size; ++k) got[k] = want[k] = std::uint8_t(k);
      ChaCha20Generator g1(key), g2(key);
      shuffle_bytes(got, g1);
      IndexChooser chooser;
      for (std::size_t i = 0; i < size; ++i) {
        std::swap(want[i], want[chooser.next([&](std::uint32_t b) { return bounded_draw(g2, b); })]);
      }
      ASSERT_EQ(got, want) << "size " << size << " seed " << int(seed);
      ASSERT_EQ(g1.next_word(), g2.next_word()) << "same words consumed";
    }
  }
}

}  // namespace
}  // namespace kelvora
