// Chunk distinctness: every chunk size's key path, with repeats planted on
// either side of the points where the set grows; more chunks than a chunk has
// values, decided without reading.
#include <gtest/gtest.h>
#include "platform.hpp"

#if KELVORA_POSIX
#include <sys/mman.h>
#include <unistd.h>
#else
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include <algorithm>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "involute/chunk_sizes/chunks.hpp"
#include "involute/chunk_sizes/distinct.hpp"
#include "hash_key.hpp"
#include "involute/chunk_sizes/key_groups.hpp"
#include "parallel/pool.hpp"
#include "packets.hpp"

namespace kelvora {
namespace {

using test::distinct_packet;

struct Shape {
  std::size_t s;  // chunk size
  std::size_t n;  // chunks
};

class ChunksDistinct : public testing::TestWithParam<Shape> {};

// The set starts at 256 slots and grows at half full, sixteenfold, so it
// grows after 128, 2048 and 32768 keys where the chunk count asks for it.
// Right after each of those points, a repeat of every chunk before it (of
// every 17th, and every 272nd, for the larger two) must be found in the grown
// set; a repeat of the chunk just before, of the first chunk and of an
// all-zero chunk (zero marks an empty slot) must be found anywhere, the last
// chunk included.
TEST_P(ChunksDistinct, FindsEveryRepeatAcrossGrowth) {
  const auto [s, n] = GetParam();
  Bytes packet = distinct_packet(n, s, s * 1000 + n);
  EXPECT_TRUE(chunks_distinct(packet, s));
  // Chunk `at` made a copy of chunk `from` for one call, then put back.
  auto repeat_found = [&](std::size_t at, std::size_t from) {
    const Bytes saved(packet.begin() + std::ptrdiff_t(at * s),
                      packet.begin() + std::ptrdiff_t((at + 1) * s));
    std::memcpy(packet.data() + at * s, packet.data() + from * s, s);
    const bool found = !chunks_distinct(packet, s);
    std::copy(saved.begin(), saved.end(), packet.begin() + std::ptrdiff_t(at * s));
    return found;
  };
  for (std::size_t grown : {128ul, 2048ul, 32768ul}) {
    if (grown + 1 >= n) continue;
    for (std::size_t from = 0; from <= grown; from += grown / 128 + grown / 2048)
      ASSERT_TRUE(repeat_found(grown + 1, from)) << "s " << s << " chunk " << from;
  }
  for (std::size_t at :
       std::initializer_list<std::size_t>{1, 127, 128, 129, 2047, 2049, 32767, 32769, n - 1}) {
    if (at >= n) continue;
    EXPECT_TRUE(repeat_found(at, at - 1)) << "s " << s << " chunk " << at;
    EXPECT_TRUE(repeat_found(at, 0)) << "s " << s << " chunk " << at;
    Bytes zeros = packet;
    std::fill_n(zeros.begin() + std::ptrdiff_t(at * s), s, 0);
    EXPECT_TRUE(chunks_distinct(zeros, s)) << "s " << s << " zero chunk " << at;
    std::fill_n(zeros.begin(), s, 0);
    EXPECT_FALSE(chunks_distinct(zeros, s)) << "s " << s << " zero chunks 0 and " << at;
  }
}

void PrintTo(const Shape& v, std::ostream* os) { *os << "s" << v.s << "_n" << v.n; }

// Every key path: chunks as 1-, 2-, 4- and 8-byte values (s = 1 .. 4, 6 .. 8)
// and as indices (s = 5 and longer chunks); sizes that reach the last table
// through each growth step.
INSTANTIATE_TEST_SUITE_P(
    Shapes, ChunksDistinct,
    testing::Values(Shape{1, 255}, Shape{2, 65535}, Shape{3, 300000}, Shape{4, 700000},
                    Shape{4, 5000}, Shape{5, 300000}, Shape{6, 200000}, Shape{7, 50000},
                    Shape{8, 600000}, Shape{12, 100000}, Shape{16, 600000}, Shape{33, 40000}));

// More chunks than a chunk of s bytes has values (256^s): some two are
// equal, and the answer needs no byte of the packet, which here cannot be
// read at all.
TEST(ChunksDistinct, MoreChunksThanValuesWithoutReading) {
  const std::size_t bytes = 2 * 65537;
#if KELVORA_POSIX
  const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
  const std::size_t len = (bytes + page - 1) / page * page;
  void* p = mmap(nullptr, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(p, MAP_FAILED);
#else
  void* p = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
  ASSERT_NE(p, nullptr);
#endif
  const auto* unreadable = static_cast<const std::uint8_t*>(p);
  EXPECT_FALSE(chunks_distinct(ByteView(unreadable, 257), 1));
  EXPECT_FALSE(chunks_distinct(ByteView(unreadable, bytes), 2));
#if KELVORA_POSIX
  munmap(p, len);
#else
  VirtualFree(p, 0, MEM_RELEASE);
#endif
  // At the limit itself every value once is still distinct.
  Bytes all(256);
  std::iota(all.begin(), all.end(), 0);
  EXPECT_TRUE(chunks_distinct(all, 1));
  EXPECT_EQ(chunk_size_min(all, 1), 1u);
}

// Many chunks are split into parts by the top bits of their mixed keys, one
// part per thread. Keys crafted with this process's hash key (the mix is
// (key ^ hash key) * 0x9E3779B1 modulo 2^32 for 4-byte chunks) put every
// chunk in the first part, past the share its set has room for: one walk over
// all chunks then decides, and finds a repeat planted last.
TEST(ChunksDistinct, OnePartHoldingEveryChunk) {
  parallel::set_thread_count_for_testing(2);
  const std::uint32_t hash_key = std::uint32_t(process_hash_key());
  std::uint32_t inverse = 0x9E3779B1u;  // Newton's iteration: x(2 - ax)
  for (int i = 0; i < 5; ++i) inverse *= 2 - 0x9E3779B1u * inverse;
  const std::size_t n = 100000;
  Bytes packet(4 * n);
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint32_t mixed = std::uint32_t(k + 1) * 1021u % (1u << 29);  // top bits 0
    store32_le(&packet[4 * k], (mixed * inverse) ^ hash_key);
  }
  EXPECT_TRUE(chunks_distinct(packet, 4));
  std::copy_n(packet.begin() + 4 * 5, 4, packet.end() - 4);
  EXPECT_FALSE(chunks_distinct(packet, 4));
  parallel::set_thread_count_for_testing(0);
}

// Group sets, every back end against the same expectations: a set of a few
// groups (an odd count too, so home groups are scaled, not masked) filled to
// one empty slot by keys that all start in the last group, so they wrap
// round into the first; then every key again, and the zero key twice; a
// repeat within one call, many keys apart, with prefetching on the way.
struct GroupBackend {
  const char* name;
  bool (*available)();
  key_groups::InsertFn<std::uint32_t> insert32;
  key_groups::InsertFn<std::uint64_t> insert64;
};

bool always() { return true; }

const GroupBackend kGroupBackends[] = {
    {"portable", always, key_groups::insert_portable, key_groups::insert_portable},
    {"avx512", key_groups::avx512_available, key_groups::insert_avx512, key_groups::insert_avx512},
};

class GroupSets : public testing::TestWithParam<GroupBackend> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << GetParam().name << " not supported by this CPU";
  }
};

template <class Key>
void check_group_set(key_groups::InsertFn<Key> insert) {
  using key_groups::GroupSet;
  constexpr std::size_t kGroup = GroupSet<Key>::kGroupKeys;
  for (const std::size_t groups : {1u, 2u, 3u}) {
    struct alignas(64) Group {
      Key slot[kGroup];
    };
    std::vector<Group> room(groups, Group{});
    GroupSet<Key> set{room.data()->slot, groups, false};
    // Keys at the very top of the range: home group groups - 1.
    std::vector<Key> keys(groups * kGroup - 1);
    for (std::size_t i = 0; i < keys.size(); ++i) keys[i] = Key(~Key(0) - Key(i));
    ASSERT_TRUE(insert(set, keys.data(), keys.size())) << groups;
    for (std::size_t i = 0; i < keys.size(); ++i)
      EXPECT_FALSE(insert(set, &keys[i], 1)) << groups << " key " << i;
    const Key zero[2] = {0, 0};
    EXPECT_FALSE(insert(set, zero, 2)) << groups;
    EXPECT_TRUE(set.has_zero) << groups;
  }
  std::vector<Key> keys(5000);
  for (std::size_t i = 0; i < keys.size(); ++i) keys[i] = Key((i + 1) * 0x9E3779B97F4A7C15ull);
  keys[4321] = keys[17];
  alignas(64) static Key slots[1024 * kGroup];
  std::fill(std::begin(slots), std::end(slots), Key(0));
  GroupSet<Key> set{slots, 1024, false};
  EXPECT_FALSE(insert(set, keys.data(), keys.size()));
  keys[4321] = 1;
  std::fill(std::begin(slots), std::end(slots), Key(0));
  set.has_zero = false;
  EXPECT_TRUE(insert(set, keys.data(), keys.size()));
}

TEST_P(GroupSets, FindEveryRepeat) {
  check_group_set<std::uint32_t>(GetParam().insert32);
  check_group_set<std::uint64_t>(GetParam().insert64);
}

INSTANTIATE_TEST_SUITE_P(Backends, GroupSets, testing::ValuesIn(kGroupBackends),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvora
