// Data mapping and its inversion: every back end against a direct model of
// the equations, the column functions, round trips and results independent of
// the thread count. Messages and edge cases are pinned in the Python suite.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "failure.hpp"
#include "huge_pages.hpp"
#include "mapping/kernels.hpp"
#include "mapping/mapping.hpp"
#include "mapping/tiles.hpp"
#include "parallel/pool.hpp"
#include "platform.hpp"

#if KELVORA_POSIX
#include <sys/mman.h>
#endif

namespace {

using kelvora::ByteView;
using kelvora::Bytes;
using kelvora::InternalFailure;
namespace mapping = kelvora::mapping;
namespace kernels = kelvora::mapping_kernels;
namespace parallel = kelvora::parallel;
using u8 = std::uint8_t;

// ---- a direct model, written from the equations -----------------------------

// The mapped byte of column c for party d (256-entry tables).
u8 model_map(const Bytes& P, const Bytes& Q, std::size_t d, const Bytes& c) {
  const std::size_t n = c.size();
  std::vector<u8> S(n + 1, 0);
  for (std::size_t k = n; k-- > 0;) S[k] = u8(S[k + 1] + c[k]);
  std::vector<u8> z(d + 1);
  z[0] = u8(c[0] - P[S[1]]);
  if (d >= 1) z[1] = u8(z[0] + c[1] - S[2]);
  for (std::size_t k = 2; k <= d; ++k) {
    u8 sum = 0;
    for (std::size_t i = 1; i < k; ++i) sum = u8(sum + z[i]);
    z[k] = u8(z[0] + c[k] - P[sum] - S[k + 1]);
  }
  return Q[z[d]];
}

// Restores a column of step values z (the private tables already undone).
Bytes model_unwind(const Bytes& P, const Bytes& z) {
  const std::size_t n = z.size();
  Bytes c(n);
  for (std::size_t k = n - 1; k >= 2; --k) {
    u8 suffix = 0, steps = 0;
    for (std::size_t i = k + 1; i < n; ++i) suffix = u8(suffix + c[i]);
    for (std::size_t i = 1; i < k; ++i) steps = u8(steps + z[i]);
    c[k] = u8(z[k] + suffix + P[steps] - z[0]);
  }
  u8 suffix = 0;
  for (std::size_t i = 2; i < n; ++i) suffix = u8(suffix + c[i]);
  c[1] = u8(z[1] + suffix - z[0]);
  c[0] = u8(z[0] + P[u8(suffix + c[1])]);
  return c;
}

Bytes permutation(std::mt19937& rng) {
  Bytes t(256);
  std::iota(t.begin(), t.end(), 0);
  std::shuffle(t.begin(), t.end(), rng);
  return t;
}

Bytes random_bytes(std::mt19937& rng, std::size_t len) {
  Bytes b(len);
  for (auto& x : b) x = u8(rng());
  return b;
}

std::vector<ByteView> views(const std::vector<Bytes>& rows) {
  return std::vector<ByteView>(rows.begin(), rows.end());
}

Bytes column_of(const std::vector<Bytes>& rows, std::size_t j) {
  Bytes col(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) col[i] = rows[i][j];
  return col;
}

std::string failure_of(auto&& f) {
  try {
    f();
  } catch (const InternalFailure& e) {
    return e.message();
  }
  return "<no failure>";
}

// Restores the original thread count when a test ends.
struct ThreadCount {
  std::size_t saved = parallel::thread_count();
  ~ThreadCount() { parallel::set_thread_count_for_testing(saved); }
};

// ---- the column functions (the checked path for short tables) ---------------

TEST(MappingColumns, MapAndInvertColumnMatchModel) {
  std::mt19937 rng(6);
  for (std::size_t n : {2, 3, 5, 64}) {
    const Bytes P = random_bytes(rng, 256), Q = permutation(rng);
    const std::vector<mapping::InvertedTable> inverted(n, mapping::invert_table(Q));
    for (int round = 0; round < 20; ++round) {
      const Bytes column = random_bytes(rng, n);
      Bytes mapped(n), z(n);
      for (std::size_t d = 0; d < n; ++d) {
        mapped[d] = mapping::map_column(P, Q, d, n, column);
        ASSERT_EQ(mapped[d], model_map(P, Q, d, column)) << "n=" << n << " identity " << d;
        z[d] = inverted[d][mapped[d]];
      }
      Bytes restored(n);
      mapping::invert_column(mapped, P, inverted, restored);
      ASSERT_EQ(restored, model_unwind(P, z)) << "n=" << n;
      ASSERT_EQ(restored, column) << "n=" << n;
    }
  }
  const std::vector<mapping::InvertedTable> one(1);
  Bytes restored(1);
  Bytes P(256, 0);
  EXPECT_EQ(failure_of([&] { mapping::invert_column(Bytes{5}, P, one, restored); }),
            "index out of bounds: the len is 1 but the index is 1");
}

// Short tables: the lowest failing column is reported, whatever the threads.
TEST(MappingColumns, LowestFailingColumnOnAnyThreadCount) {
  const ThreadCount restore;
  const std::size_t n = 5, len = 300000;
  std::vector<Bytes> rows(n, Bytes(len, 0));
  Bytes pub(100), identity(256);
  std::iota(pub.begin(), pub.end(), 1);
  std::iota(identity.begin(), identity.end(), 0);
  // Columns 123456 and 250001 reach P[S_1] with S_1 >= 100.
  rows[1][250001] = 150;
  rows[2][123456] = 120;
  for (std::size_t threads : {1, 4}) {
    parallel::set_thread_count_for_testing(threads);
    EXPECT_EQ(failure_of([&] { mapping::map_sequences(pub, identity, 0, views(rows)); }),
              "index out of bounds: the len is 100 but the index is 120");
  }
}

// ---- back ends against the model --------------------------------------------

class MappingBackend : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    struct Backend {
      const char* name;
      const kernels::Ops& (*ops)();
      bool (*available)();
    };
    static const Backend kBackends[] = {
        {"portable", kernels::ops_portable, [] { return true; }},
        {"avx2", kernels::ops_avx2, kernels::avx2_available},
        {"avx512vbmi", kernels::ops_avx512vbmi, kernels::avx512vbmi_available},
        {"neon", kernels::ops_neon, kernels::neon_available},
    };
    const std::string name = GetParam();
    for (const Backend& b : kBackends) {
      if (name != b.name) continue;
      if (!b.available()) GTEST_SKIP() << name << " not available on this CPU";
      ops_ = &b.ops();
    }
    ASSERT_NE(ops_, nullptr) << name;
  }
  const kernels::Ops* ops_ = nullptr;
};

// Shapes around the vector widths and the tile width.
const std::size_t kLengths[] = {1, 2, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 129, 1000, 4097,
                                9000};
const std::size_t kParties[] = {2, 3, 4, 5, 8, 64};

TEST_P(MappingBackend, MapMatchesModel) {
  std::mt19937 rng(1);
  for (std::size_t n : kParties) {
    for (std::size_t len : kLengths) {
      std::vector<Bytes> rows;
      for (std::size_t i = 0; i < n; ++i) rows.push_back(random_bytes(rng, len));
      std::vector<const u8*> ptrs;
      for (auto& r : rows) ptrs.push_back(r.data());
      const Bytes P = random_bytes(rng, 256), Q = permutation(rng);
      for (std::size_t d : {std::size_t(0), std::size_t(1), n / 2, n - 1}) {
        // Start off a vector boundary and stop short of the end: columns
        // outside [lo, hi) must stay untouched.
        const std::size_t lo = len > 3 ? 3 : 0, hi = len > 5 ? len - 1 : len;
        Bytes out(len, 0xEE), want(len, 0xEE);
        mapping::detail::map_columns(*ops_, {P.data(), Q.data(), d, ptrs.data(), n, out.data()},
                                     lo, hi);
        for (std::size_t j = lo; j < hi; ++j) want[j] = model_map(P, Q, d, column_of(rows, j));
        ASSERT_EQ(out, want) << "n=" << n << " len=" << len << " identity=" << d;
      }
    }
  }
}

TEST_P(MappingBackend, RestoreMatchesModel) {
  std::mt19937 rng(2);
  for (std::size_t n : kParties) {
    for (std::size_t len : kLengths) {
      std::vector<Bytes> rows, out(n, Bytes(len, 0xEE)), want(n, Bytes(len, 0xEE));
      std::vector<mapping::InvertedTable> inv;
      std::vector<const u8*> in;
      std::vector<u8*> outp;
      for (std::size_t i = 0; i < n; ++i) {
        rows.push_back(random_bytes(rng, len));
        inv.push_back(mapping::invert_table(random_bytes(rng, 256)));  // not a permutation
        in.push_back(rows[i].data());
        outp.push_back(out[i].data());
      }
      const Bytes P = random_bytes(rng, 256);
      const std::size_t lo = len > 3 ? 3 : 0, hi = len > 5 ? len - 1 : len;
      mapping::detail::restore_columns(*ops_, {P.data(), inv.data(), in.data(), outp.data(), n},
                                       lo, hi);
      for (std::size_t j = lo; j < hi; ++j) {
        Bytes z(n);
        for (std::size_t i = 0; i < n; ++i) z[i] = inv[i][rows[i][j]];
        const Bytes c = model_unwind(P, z);
        for (std::size_t i = 0; i < n; ++i) want[i][j] = c[i];
      }
      ASSERT_EQ(out, want) << "n=" << n << " len=" << len;
    }
  }
}

// Many parties, few columns: the tiles are narrow and the scratch tall.
TEST_P(MappingBackend, ManyParties) {
  std::mt19937 rng(8);
  for (auto [n, len] : {std::pair<std::size_t, std::size_t>{300, 70}, {1500, 5}}) {
    std::vector<Bytes> rows, out(n, Bytes(len));
    std::vector<mapping::InvertedTable> inv;
    std::vector<const u8*> in;
    std::vector<u8*> outp;
    for (std::size_t i = 0; i < n; ++i) {
      rows.push_back(random_bytes(rng, len));
      inv.push_back(mapping::invert_table(permutation(rng)));
      in.push_back(rows[i].data());
      outp.push_back(out[i].data());
    }
    const Bytes P = random_bytes(rng, 256), Q = permutation(rng);
    Bytes mapped(len);
    mapping::detail::map_columns(*ops_, {P.data(), Q.data(), n - 1, in.data(), n, mapped.data()},
                                 0, len);
    mapping::detail::restore_columns(*ops_, {P.data(), inv.data(), in.data(), outp.data(), n}, 0,
                                     len);
    for (std::size_t j = 0; j < len; ++j) {
      Bytes z(n);
      for (std::size_t i = 0; i < n; ++i) z[i] = inv[i][rows[i][j]];
      ASSERT_EQ(mapped[j], model_map(P, Q, n - 1, column_of(rows, j))) << "n=" << n << " " << j;
      ASSERT_EQ(column_of(out, j), model_unwind(P, z)) << "n=" << n << " column " << j;
    }
  }
}

// Results written around the caches are the same bytes as plain ones, at
// every alignment of the result rows, with nothing written outside [lo, hi).
TEST_P(MappingBackend, StreamedResultsEqualPlainOnes) {
  std::mt19937 rng(9);
  const std::size_t n = 5, len = 9000, lo = 3, hi = len - 1;
  std::vector<Bytes> rows;
  std::vector<const u8*> in;
  std::vector<mapping::InvertedTable> inv;
  for (std::size_t i = 0; i < n; ++i) {
    rows.push_back(random_bytes(rng, len));
    in.push_back(rows[i].data());
    inv.push_back(mapping::invert_table(permutation(rng)));
  }
  const Bytes P = random_bytes(rng, 256), Q = permutation(rng);
  for (std::size_t shift = 0; shift < 64; shift += 13) {
    // Row i of the results starts `shift + 7 * i` bytes into its buffer.
    std::vector<Bytes> plain(n, Bytes(len + 128, 0xEE)), streamed = plain;
    std::vector<u8*> plain_out, streamed_out;
    for (std::size_t i = 0; i < n; ++i) {
      plain_out.push_back(plain[i].data() + shift + 7 * i);
      streamed_out.push_back(streamed[i].data() + shift + 7 * i);
    }
    mapping::detail::restore_columns(*ops_, {P.data(), inv.data(), in.data(), plain_out.data(), n},
                                     lo, hi);
    mapping::detail::restore_columns(
        *ops_, {P.data(), inv.data(), in.data(), streamed_out.data(), n, true}, lo, hi);
    ASSERT_EQ(streamed, plain) << "restore, shift " << shift;
    for (std::size_t d : {std::size_t(0), n - 1}) {
      mapping::detail::map_columns(*ops_, {P.data(), Q.data(), d, in.data(), n, plain_out[1]}, lo,
                                   hi);
      mapping::detail::map_columns(
          *ops_, {P.data(), Q.data(), d, in.data(), n, streamed_out[1], true}, lo, hi);
      ASSERT_EQ(streamed[1], plain[1]) << "map, shift " << shift << " identity " << d;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, MappingBackend,
                         ::testing::Values("portable", "avx2", "avx512vbmi", "neon"),
                         [](const auto& info) { return std::string(info.param); });

// ---- whole operations ------------------------------------------------------

// The public operations on the active back end, split over the pool: the
// model's bytes in sampled columns, the source restored, and the same bytes
// on one thread and on three.
TEST(MappingRoundTrip, RestoresSourceOnAnyThreadCount) {
  const ThreadCount restore;
  std::mt19937 rng(3);
  for (std::size_t n : {2, 3, 8, 64}) {
    for (std::size_t len : {0, 1, 100, 70000}) {
      std::vector<Bytes> source, keys;
      for (std::size_t i = 0; i < n; ++i) {
        source.push_back(random_bytes(rng, len));
        keys.push_back(permutation(rng));
      }
      const Bytes pub = random_bytes(rng, 256);  // need not be a permutation
      std::optional<std::vector<Bytes>> first;
      for (std::size_t threads : {1, 3}) {
        parallel::set_thread_count_for_testing(threads);
        std::vector<Bytes> mapped;
        for (std::size_t d = 0; d < n; ++d)
          mapped.push_back(mapping::map_sequences(pub, keys[d], d, views(source)));
        ASSERT_EQ(mapping::restore_sequences(pub, views(keys), views(mapped)), source)
            << "n=" << n << " len=" << len;
        if (first) {
          EXPECT_EQ(mapped, *first);
        } else {
          first = mapped;
        }
      }
      for (std::size_t j = 0; j < len; j += 997) {
        for (std::size_t d = 0; d < n; ++d)
          ASSERT_EQ((*first)[d][j], model_map(pub, keys[d], d, column_of(source, j)))
              << "n=" << n << " column " << j;
      }
    }
  }
}

// Result rows lying end to end, a few bytes apart (as consecutive heap blocks
// do, an object header between them), in fresh memory: the huge pages across
// the seams are listed for collapsing, but not those at the ends of the run,
// where other memory may begin, nor one already backed; the restored rows and
// the bytes between them come out intact. The bytes between the rows are
// written after the listing: before it, the kernel's background collapsing
// (khugepaged, woken by the advice) could back a seam's page between the
// advice and the listing's look at it.
TEST(MappingRoundTrip, RowsEndToEndKeepTheBytesBetweenThem) {
  constexpr std::size_t kHuge = kelvora::kHugePageSize, kRow = 3 * kHuge, kGap = 48, n = 4;
  constexpr std::size_t kRegion = n * (kRow + kGap) + 2 * kHuge;
#if KELVORA_POSIX
  void* const mapped_region =
      mmap(nullptr, kRegion, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapped_region, MAP_FAILED);
  u8* const region = static_cast<u8*>(mapped_region);
#else
  std::vector<u8> storage(kRegion);
  u8* const region = storage.data();
#endif
  const auto base = reinterpret_cast<std::uintptr_t>(region);
  u8* const first = region + ((base + kHuge - 1) / kHuge * kHuge - base) + 100;
  std::vector<std::span<u8>> rows;
  for (std::size_t i = 0; i < n; ++i) rows.emplace_back(first + i * (kRow + kGap), kRow);
  const auto huge_page_of = [&](std::size_t i) {
    return reinterpret_cast<std::uintptr_t>(rows[i].data()) / kHuge * kHuge;
  };
  *reinterpret_cast<u8*>(huge_page_of(3) + kHuge - 1) = 1;  // that page is backed now

  const std::vector<std::span<u8>> shuffled{rows[2], rows[0], rows[3], rows[1]};
  const std::vector<std::uintptr_t> seams = kelvora::advise_huge_page_runs(shuffled);
  std::vector<std::uintptr_t> want;
  if (kelvora::kHugePageAdvice) want = {huge_page_of(1), huge_page_of(2)};
  EXPECT_EQ(seams, want);
  for (const auto& row : rows) std::fill(row.end(), row.end() + kGap, u8(0xA5));
  for (std::uintptr_t page : seams) kelvora::collapse_huge_page(page);

  std::mt19937 rng(5);
  std::vector<Bytes> source, keys, mapped;
  for (std::size_t i = 0; i < n; ++i) {
    source.push_back(random_bytes(rng, kRow));
    keys.push_back(permutation(rng));
  }
  const Bytes pub = permutation(rng);
  for (std::size_t d = 0; d < n; ++d)
    mapped.push_back(mapping::map_sequences(pub, keys[d], d, views(source)));
  mapping::restore_sequences_into(pub, views(keys), views(mapped), rows);
  for (std::size_t i = 0; i < n; ++i) {
    EXPECT_TRUE(std::equal(rows[i].begin(), rows[i].end(), source[i].begin())) << "row " << i;
    EXPECT_TRUE(std::all_of(rows[i].end(), rows[i].end() + kGap, [](u8 b) { return b == 0xA5; }))
        << "after row " << i;
  }
#if KELVORA_POSIX
  munmap(mapped_region, kRegion);
#endif
}

}  // namespace
