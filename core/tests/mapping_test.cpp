// Data mapping and its inversion: worked examples, every failure message in
// its order, every back end against a direct model of the equations, round
// trips, and results independent of the thread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "failure.hpp"
#include "mapping/kernels.hpp"
#include "mapping/mapping.hpp"
#include "mapping/tiles.hpp"
#include "parallel/pool.hpp"

namespace {

using kelvora::ByteView;
using kelvora::Bytes;
using kelvora::InternalFailure;
namespace mapping = kelvora::mapping;
namespace kernels = kelvora::mapping_kernels;
using u8 = std::uint8_t;

// ---- a direct model, written from the equations -----------------------------

struct Lookup {  // a lookup past the end of a table
  std::size_t len, index;
};

// Either the mapped byte or the first lookup past a table's end.
struct Mapped {
  u8 value = 0;
  std::optional<Lookup> failed;
};

Mapped model_map(const Bytes& P, const Bytes& Q, std::size_t d, const Bytes& c) {
  const std::size_t n = c.size();
  std::vector<u8> S(n + 1, 0);
  for (std::size_t k = n; k-- > 0;) S[k] = u8(S[k + 1] + c[k]);
  Mapped r;
  auto at = [&](const Bytes& table, u8 i) -> u8 {
    if (!r.failed && i >= table.size()) r.failed = Lookup{table.size(), i};
    return r.failed ? 0 : table[i];
  };
  std::vector<u8> z(d + 1);
  z[0] = u8(c[0] - at(P, S[1]));
  if (d >= 1) z[1] = u8(z[0] + c[1] - S[2]);
  for (std::size_t k = 2; k <= d; ++k) {
    u8 sum = 0;
    for (std::size_t i = 1; i < k; ++i) sum = u8(sum + z[i]);
    z[k] = u8(z[0] + c[k] - at(P, sum) - S[k + 1]);
  }
  r.value = at(Q, z[d]);
  return r;
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

Bytes table_from(u8 (*f)(int)) {
  Bytes t(256);
  for (int x = 0; x < 256; ++x) t[x] = f(x);
  return t;
}
const Bytes kPlusOne = table_from([](int x) { return u8(x + 1); });
const Bytes kReversed = table_from([](int x) { return u8(255 - x); });
const Bytes kIdentity = table_from([](int x) { return u8(x); });

Bytes permutation(std::mt19937& rng) {
  Bytes t = kIdentity;
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

// Rows of single-column sequences, one per byte of `column`.
std::vector<Bytes> as_rows(const Bytes& column) {
  std::vector<Bytes> rows;
  for (u8 c : column) rows.push_back(Bytes{c});
  return rows;
}

template <class F>
std::string failure_of(F&& f) {
  try {
    f();
  } catch (const InternalFailure& e) {
    return e.message();
  }
  return "<no failure>";
}

// ---- worked examples --------------------------------------------------------

struct Example {
  const Bytes* P;
  const Bytes* Q;
  Bytes column;
  Bytes mapped;  // per identity
};

const Example kExamples[] = {
    {&kPlusOne, &kReversed, {10, 20, 30, 40}, {80, 130, 216, 205}},
    {&kIdentity, &kIdentity, {10, 20, 30}, {216, 206, 40}},
};

TEST(MappingExamples, ForwardAndBack) {
  for (const Example& ex : kExamples) {
    const auto rows = as_rows(ex.column);
    const auto seqs = views(rows);
    const std::size_t n = ex.column.size();
    std::vector<Bytes> mapped_rows;
    for (std::size_t d = 0; d < n; ++d) {
      EXPECT_EQ(mapping::map_column(*ex.P, *ex.Q, d, n, ex.column), ex.mapped[d]);
      EXPECT_EQ(mapping::map_sequences(*ex.P, *ex.Q, d, seqs), Bytes{ex.mapped[d]});
      mapped_rows.push_back(Bytes{ex.mapped[d]});
    }
    const std::vector<ByteView> keys(n, ByteView(*ex.Q));
    EXPECT_EQ(mapping::restore_sequences(*ex.P, keys, views(mapped_rows)), rows);
    const std::vector<mapping::InvertedTable> inverted(n, mapping::invert_table(*ex.Q));
    Bytes restored(n);
    mapping::invert_column(ex.mapped, *ex.P, inverted, restored);
    EXPECT_EQ(restored, ex.column);
  }
}

// ---- failure messages -------------------------------------------------------

struct MapFailure {
  const char* name;
  std::vector<std::size_t> lengths;
  std::uint64_t identity;
  std::size_t pub_len, priv_len;
  std::string message;
};

const MapFailure kMapFailures[] = {
    {"no party", {}, 0, 256, 256, "At least two parties must be present"},
    {"one party", {5}, 0, 256, 256, "At least two parties must be present"},
    {"identity n", {4, 4, 4}, 3, 256, 256, "assertion failed: identity < num_funcs"},
    {"identity before lengths", {4, 4, 3}, 5, 256, 256,
     "assertion failed: identity < num_funcs"},
    {"first unequal length", {4, 4, 3, 5}, 0, 256, 256,
     "all inner vectors must have equal length; data_sequences[0].len() = 4, but "
     "data_sequences[2].len() = 3"},
    {"short public table", {1, 1, 1}, 0, 10, 256,
     "index out of bounds: the len is 10 but the index is 50"},
    {"short private table", {1, 1}, 0, 256, 3,
     "index out of bounds: the len is 3 but the index is 245"},
};

TEST(MappingFailures, MapMessages) {
  for (const MapFailure& f : kMapFailures) {
    std::vector<Bytes> rows;
    for (std::size_t i = 0; i < f.lengths.size(); ++i) rows.push_back(Bytes(f.lengths[i], u8(10 * (i + 1))));
    const auto seqs = views(rows);
    const Bytes pub(kPlusOne.begin(), kPlusOne.begin() + std::min<std::size_t>(f.pub_len, 256));
    const Bytes priv(kIdentity.begin(), kIdentity.begin() + std::min<std::size_t>(f.priv_len, 256));
    EXPECT_EQ(failure_of([&] { mapping::map_sequences(pub, priv, f.identity, seqs); }), f.message)
        << f.name;
  }
}

TEST(MappingFailures, EmptyDataReadsNoTable) {
  const std::vector<Bytes> rows(3);
  EXPECT_EQ(mapping::map_sequences({}, {}, 2, views(rows)), Bytes{});
  const std::vector<ByteView> keys(3);
  EXPECT_EQ(mapping::restore_sequences(Bytes(10), keys, views(rows)), rows);
  const std::vector<Bytes> one(1);
  EXPECT_EQ(mapping::restore_sequences({}, std::vector<ByteView>(1), views(one)), one);
}

TEST(MappingFailures, SingleColumn) {
  EXPECT_EQ(failure_of([] { mapping::map_column(kIdentity, kIdentity, 3, 3, Bytes(3)); }),
            "assertion failed: identity < num_funcs");
  const std::vector<mapping::InvertedTable> one(1);
  Bytes restored(1);
  EXPECT_EQ(failure_of([&] { mapping::invert_column(Bytes{5}, kIdentity, one, restored); }),
            "index out of bounds: the len is 1 but the index is 1");
}

struct RestoreFailure {
  const char* name;
  std::size_t keys;
  std::vector<std::size_t> lengths;
  std::size_t pub_len;
  std::string message;
};

const RestoreFailure kRestoreFailures[] = {
    {"count", 2, {4, 4, 4}, 256,
     "assertion `left == right` failed: There should be the same number of data sequences as "
     "private keys\n  left: 3\n right: 2"},
    {"no sequence", 0, {}, 256, "index out of bounds: the len is 0 but the index is 0"},
    {"unequal", 4, {4, 4, 3, 5}, 256,
     "all inner vectors must have equal length; data_sequences[0].len() = 4, but "
     "data_sequences[2].len() = 3"},
    {"public 255", 3, {2, 2, 2}, 255,
     "assertion `left == right` failed: All private keys should be the same length as the public "
     "key\n  left: 255\n right: 256"},
    {"public 257", 3, {2, 2, 2}, 257,
     "assertion `left == right` failed: All private keys should be the same length as the public "
     "key\n  left: 257\n right: 256"},
    {"one party", 1, {2}, 256, "index out of bounds: the len is 1 but the index is 1"},
    {"one party, short public", 1, {2}, 10,
     "assertion `left == right` failed: All private keys should be the same length as the public "
     "key\n  left: 10\n right: 256"},
};

TEST(MappingFailures, RestoreMessages) {
  for (const RestoreFailure& f : kRestoreFailures) {
    std::vector<Bytes> rows;
    for (std::size_t len : f.lengths) rows.push_back(Bytes(len, 1));
    // Private tables as long as the public one: only the public length counts.
    const std::vector<Bytes> tables(f.keys, Bytes(f.pub_len, 0));
    const Bytes pub(f.pub_len, 0);
    EXPECT_EQ(failure_of([&] { mapping::restore_sequences(pub, views(tables), views(rows)); }),
              f.message)
        << f.name;
  }
}

// Short tables: the lowest failing column is reported, whatever the threads.
TEST(MappingFailures, LowestFailingColumn) {
  std::mt19937 rng(7);
  const std::size_t n = 5, len = 300000;
  std::vector<Bytes> rows(n, Bytes(len, 0));  // zero columns look up P[0] and Q[Q-less]
  const Bytes pub(kPlusOne.begin(), kPlusOne.begin() + 100);
  // Columns 123456 and 250001 reach P[S_1] with S_1 >= 100.
  rows[1][250001] = 150;
  rows[2][123456] = 120;
  const std::size_t saved = kelvora::parallel::thread_count();
  for (std::size_t threads : {std::size_t(1), std::size_t(4)}) {
    kelvora::parallel::set_thread_count_for_testing(threads);
    EXPECT_EQ(failure_of([&] { mapping::map_sequences(pub, kIdentity, 0, views(rows)); }),
              "index out of bounds: the len is 100 but the index is 120");
  }
  kelvora::parallel::set_thread_count_for_testing(saved);
}

// ---- tables ----------------------------------------------------------------

TEST(MappingTables, InvertTable) {
  EXPECT_EQ(mapping::invert_table({}), mapping::InvertedTable{});
  mapping::InvertedTable want{};
  Bytes rev(kReversed);
  for (int x = 0; x < 256; ++x) want[x] = u8(255 - x);
  EXPECT_EQ(mapping::invert_table(rev), want);
  // 300 entries: positions 256 .. 299 are stored as 0 .. 43, over earlier ones.
  Bytes long_table(300);
  for (std::size_t k = 0; k < 300; ++k) long_table[k] = u8(k < 256 ? k : 255 - (k - 256));
  const auto inv = mapping::invert_table(long_table);
  for (int v = 0; v < 256; ++v) EXPECT_EQ(inv[v], u8(v >= 212 ? 255 - v : v)) << v;
  const Bytes dup{5, 5, 9};
  const auto d = mapping::invert_table(dup);
  EXPECT_EQ(d[5], 1);
  EXPECT_EQ(d[9], 2);
  EXPECT_EQ(d[0], 0);
}

// ---- back ends against the model --------------------------------------------

class MappingBackend : public ::testing::TestWithParam<const char*> {
 protected:
  const kernels::Ops* ops() const {
    const std::string name = GetParam();
    if (name == "portable") return &kernels::ops_portable();
    if (name == "avx2") return kernels::ops_avx2();
    return kernels::ops_avx512vbmi();
  }
};

// Shapes around the vector widths and the tile width.
const std::size_t kLengths[] = {1, 2, 31, 32, 33, 63, 64, 65, 127, 129, 1000, 4097, 9000};
const std::size_t kParties[] = {2, 3, 4, 5, 8, 64};

TEST_P(MappingBackend, MapMatchesModel) {
  const kernels::Ops* ops = this->ops();
  if (!ops) GTEST_SKIP() << GetParam() << " not available on this CPU";
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
        Bytes out(len, 0xEE);
        kelvora::mapping::detail::map_columns(*ops, {P.data(), Q.data(), d, ptrs.data(), n, out.data()},
                                     lo, hi);
        Bytes want(len, 0xEE);
        for (std::size_t j = lo; j < hi; ++j) {
          Bytes col(n);
          for (std::size_t i = 0; i < n; ++i) col[i] = rows[i][j];
          want[j] = model_map(P, Q, d, col).value;
        }
        ASSERT_EQ(out, want) << "n=" << n << " len=" << len << " identity=" << d;
      }
    }
  }
}

TEST_P(MappingBackend, RestoreMatchesModel) {
  const kernels::Ops* ops = this->ops();
  if (!ops) GTEST_SKIP() << GetParam() << " not available on this CPU";
  std::mt19937 rng(2);
  for (std::size_t n : kParties) {
    for (std::size_t len : kLengths) {
      std::vector<Bytes> rows, out(n, Bytes(len, 0xEE));
      std::vector<mapping::InvertedTable> inv;
      for (std::size_t i = 0; i < n; ++i) {
        rows.push_back(random_bytes(rng, len));
        inv.push_back(mapping::invert_table(random_bytes(rng, 256)));  // not a permutation
      }
      std::vector<const u8*> in;
      std::vector<u8*> outp;
      for (std::size_t i = 0; i < n; ++i) {
        in.push_back(rows[i].data());
        outp.push_back(out[i].data());
      }
      const Bytes P = random_bytes(rng, 256);
      const std::size_t lo = len > 3 ? 3 : 0, hi = len > 5 ? len - 1 : len;
      kelvora::mapping::detail::restore_columns(*ops, {P.data(), inv.data(), in.data(), outp.data(), n},
                                       lo, hi);
      std::vector<Bytes> want(n, Bytes(len, 0xEE));
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
  const kernels::Ops* ops = this->ops();
  if (!ops) GTEST_SKIP() << GetParam() << " not available on this CPU";
  std::mt19937 rng(8);
  for (auto [n, len] : {std::pair<std::size_t, std::size_t>{300, 70}, {1500, 5}}) {
    std::vector<Bytes> rows, out(n, Bytes(len));
    std::vector<mapping::InvertedTable> inv;
    std::vector<const u8*> in;
    std::vector<u8*> outp;
    for (std::size_t i = 0; i < n; ++i) {
      rows.push_back(random_bytes(rng, len));
      inv.push_back(mapping::invert_table(permutation(rng)));
    }
    for (std::size_t i = 0; i < n; ++i) {
      in.push_back(rows[i].data());
      outp.push_back(out[i].data());
    }
    const Bytes P = random_bytes(rng, 256), Q = permutation(rng);
    Bytes mapped(len);
    mapping::detail::map_columns(*ops, {P.data(), Q.data(), n - 1, in.data(), n, mapped.data()}, 0,
                                 len);
    mapping::detail::restore_columns(*ops, {P.data(), inv.data(), in.data(), outp.data(), n}, 0,
                                     len);
    for (std::size_t j = 0; j < len; ++j) {
      Bytes col(n), z(n);
      for (std::size_t i = 0; i < n; ++i) {
        col[i] = rows[i][j];
        z[i] = inv[i][rows[i][j]];
      }
      ASSERT_EQ(mapped[j], model_map(P, Q, n - 1, col).value) << "n=" << n << " column " << j;
      const Bytes c = model_unwind(P, z);
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(out[i][j], c[i]) << "n=" << n;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, MappingBackend, ::testing::Values("portable", "avx2", "avx512vbmi"),
                         [](const auto& info) { return std::string(info.param); });

// ---- whole operations ------------------------------------------------------

TEST(MappingRoundTrip, RestoresSourceOnAnyThreadCount) {
  std::mt19937 rng(3);
  const std::size_t saved = kelvora::parallel::thread_count();
  for (std::size_t n : {2, 3, 8, 64}) {
    for (std::size_t len : {0, 1, 100, 70000}) {
      std::vector<Bytes> source, keys;
      for (std::size_t i = 0; i < n; ++i) {
        source.push_back(random_bytes(rng, len));
        keys.push_back(permutation(rng));
      }
      const Bytes pub = random_bytes(rng, 256);  // need not be a permutation
      std::optional<std::vector<Bytes>> first;
      for (std::size_t threads : {std::size_t(1), std::size_t(3)}) {
        kelvora::parallel::set_thread_count_for_testing(threads);
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
    }
  }
  kelvora::parallel::set_thread_count_for_testing(saved);
}

// Short tables that never fail give what 256-entry tables give, and long
// tables read only their first 256 entries.
TEST(MappingRoundTrip, ShortAndLongTables) {
  std::mt19937 rng(4);
  const std::size_t n = 4, len = 5000;
  // Only party 0 has data and P is 0 below 32, so every step value is c_0
  // and every index stays below 32.
  std::vector<Bytes> rows(n, Bytes(len, 0));
  for (std::size_t j = 0; j < len; ++j) rows[0][j] = u8(j % 7);
  Bytes pub = random_bytes(rng, 256), priv = permutation(rng);
  std::fill(pub.begin(), pub.begin() + 32, 0);
  for (std::size_t d = 0; d < n; ++d) {
    const Bytes full = mapping::map_sequences(pub, priv, d, views(rows));
    Bytes longer_pub = pub, longer_priv = priv;
    longer_pub.resize(400, 0xAB);
    longer_priv.resize(300, 0xCD);
    EXPECT_EQ(mapping::map_sequences(longer_pub, longer_priv, d, views(rows)), full);
    const Bytes short_pub(pub.begin(), pub.begin() + 255);
    const Bytes short_priv(priv.begin(), priv.begin() + 32);
    EXPECT_EQ(mapping::map_sequences(short_pub, short_priv, d, views(rows)), full);
  }
}

}  // namespace
