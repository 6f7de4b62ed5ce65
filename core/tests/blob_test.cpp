// Blob writer, byte reader, strict UTF-8 and the two packet readers: what only
// the core can show (writes in place between guard bytes, wrong buffer sizes,
// readers that stay put on a failed get, views into the input, lengths that
// would wrap). Layouts, every parse message and round trips are checked
// against an independent model in tests/test_blob.py.
//
// Expected blobs are spelled out byte by byte here (little-endian words built
// by the test's own helper), never produced by the writer under test.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "blob/blob.hpp"
#include "blob/byte_reader.hpp"
#include "blob/packets.hpp"
#include "blob/utf8.hpp"
#include "failure.hpp"

namespace kelvora {
namespace {

// Test-side blob builder: appends words and raw bytes by hand.
struct Raw {
  Bytes b;
  Raw& word(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(std::uint8_t(v >> (8 * i)));
    return *this;
  }
  Raw& raw(std::initializer_list<int> bytes) {
    for (int x : bytes) b.push_back(std::uint8_t(x));
    return *this;
  }
  Raw& raw(std::string_view s) {
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Raw& field(std::string_view s) { return word(s.size()).raw(s); }
  // Prepends the payload length of what has been built so far.
  Bytes blob() const {
    Raw r;
    r.word(b.size());
    r.b.insert(r.b.end(), b.begin(), b.end());
    return r.b;
  }
};

Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

// ---- Writer -------------------------------------------------------------

TEST(BlobWriter, ShapesOfSmallBlobs) {
  struct Row {
    const char* what;
    std::vector<BlobField> (*make)();
    Bytes want;
  };
  const Row rows[] = {
      {"no fields", [] { return std::vector<BlobField>{}; }, Raw().blob()},
      {"owned text, utf-8 e-acute",
       [] { std::vector<BlobField> v; v.push_back(BlobField::owned({0xc3, 0xa9})); return v; },
       Raw().word(2).raw({0xc3, 0xa9}).blob()},
      {"mixed kinds in order",
       [] {
         std::vector<BlobField> v;
         v.push_back(BlobField::integer(0x0102030405060708ull));
         v.push_back(BlobField::owned(bytes_of("xyz")));
         v.push_back(BlobField::borrowed({}));
         return v;
       },
       Raw().word(8).raw({8, 7, 6, 5, 4, 3, 2, 1}).field("xyz").word(0).blob()},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<BlobField> fields = row.make();
    ASSERT_EQ(blob_size(fields), row.want.size());
    // In place, between guard bytes that must stay untouched.
    Bytes buf(row.want.size() + 32, 0xEE);
    write_blob(fields, std::span(buf).subspan(16, row.want.size()));
    EXPECT_EQ(Bytes(buf.begin() + 16, buf.end() - 16), row.want);
    for (std::size_t i = 0; i < 16; ++i) {
      EXPECT_EQ(buf[i], 0xEE);
      EXPECT_EQ(buf[buf.size() - 1 - i], 0xEE);
    }
    EXPECT_EQ(package_fields(std::move(fields)), row.want);
  }
}

TEST(BlobWriter, EveryShortBodyLengthBetweenGuardBytes) {
  // Short bodies take a copy of their own; lengths 0 to 40 cross each of its
  // edges. Each body sits between two others so a stray write would show.
  for (std::size_t n = 0; n <= 40; ++n) {
    SCOPED_TRACE(n);
    Bytes body(n);
    for (std::size_t i = 0; i < n; ++i) body[i] = std::uint8_t(0x80 + i);
    const std::vector<BlobField> fields = {BlobField::integer(n), BlobField::borrowed(body),
                                           BlobField::borrowed(body)};
    Raw want;
    want.word(8).word(n).word(n);
    want.b.insert(want.b.end(), body.begin(), body.end());
    want.word(n);
    want.b.insert(want.b.end(), body.begin(), body.end());
    const Bytes blob = want.blob();
    ASSERT_EQ(blob_size(fields), blob.size());
    Bytes buf(blob.size() + 32, 0xEE);
    write_blob(fields, std::span(buf).subspan(16, blob.size()));
    EXPECT_EQ(Bytes(buf.begin() + 16, buf.end() - 16), blob);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 16), Bytes(16, 0xEE));
    EXPECT_EQ(Bytes(buf.end() - 16, buf.end()), Bytes(16, 0xEE));
  }
}

TEST(BlobWriter, OwnedFieldSurvivesMovesAndIsReleased) {
  std::vector<BlobField> fields;
  for (int i = 0; i < 50; ++i) fields.push_back(BlobField::owned(Bytes(size_t(i), std::uint8_t(i))));
  Raw want;
  for (int i = 0; i < 50; ++i) want.word(size_t(i)).b.insert(want.b.end(), size_t(i), std::uint8_t(i));
  EXPECT_EQ(package_fields(std::move(fields)), want.blob());

  BlobField f = BlobField::owned(bytes_of("abc"));
  f.release();
  EXPECT_EQ(f.length(), 0u);
}

TEST(BlobWriter, WrongBufferSizeIsAnInternalFailureBeforeAnyOverrun) {
  std::vector<BlobField> fields;
  fields.push_back(BlobField::integer(5));
  fields.push_back(BlobField::owned(bytes_of("abc")));
  const struct {
    std::size_t size;
    const char* message;
  } rows[] = {
      {0, "assertion failed: out.size() >= kBlobWordSize"},
      {8 + 16 + 10, "assertion failed: std::size_t(end - p) >= kBlobWordSize && std::size_t(end - "
                    "p) - kBlobWordSize >= len"},
      {8 + 16 + 12, "assertion failed: p == end"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.size);
    // The buffer sits inside a larger one whose tail must stay untouched.
    Bytes buf(row.size + 16, 0xEE);
    try {
      write_blob(fields, std::span(buf).first(row.size));
      FAIL() << "no failure";
    } catch (const InternalFailure& f) {
      EXPECT_EQ(f.message(), row.message);
    }
    for (std::size_t i = row.size; i < buf.size(); ++i) EXPECT_EQ(buf[i], 0xEE);
  }
}

// ---- ByteReader ---------------------------------------------------------

TEST(ByteReader, FailedGetsLeaveTheReaderUnmoved) {
  const Bytes data = Raw().word(3).raw({1, 2}).b;  // 10 bytes
  ByteReader r(data);
  std::uint64_t v = 0;
  ByteView view;
  ASSERT_TRUE(r.get_u64le(v));
  EXPECT_EQ(v, 3u);
  EXPECT_FALSE(r.get_u64le(v));  // only 2 left
  EXPECT_FALSE(r.get_bytes(3, view));
  EXPECT_FALSE(r.get_bytes(std::numeric_limits<std::uint64_t>::max(), view));
  EXPECT_FALSE(r.get_bytes(std::uint64_t(1) << 63, view));
  EXPECT_EQ(r.remaining(), 2u);
  ASSERT_TRUE(r.get_bytes(2, view));
  EXPECT_EQ(view.data(), data.data() + 8);
  EXPECT_TRUE(r.get_bytes(0, view));
  EXPECT_EQ(r.remaining(), 0u);

  ByteReader empty{ByteView{}};
  EXPECT_TRUE(empty.get_bytes(0, view));
  EXPECT_FALSE(empty.get_bytes(1, view));
  EXPECT_FALSE(empty.get_u64le(v));
}

// ---- UTF-8 ----------------------------------------------------------------

// Rows derived by hand from Unicode Table 3-7 (well-formed byte sequences) and
// the maximal-subpart rule; "" means well-formed.
struct Utf8Row {
  Bytes in;
  std::string detail;
};

class Utf8Table : public ::testing::TestWithParam<Utf8Row> {};

TEST_P(Utf8Table, FirstProblem) {
  const Utf8Row& row = GetParam();
  const auto got = check_utf8(row.in);
  EXPECT_EQ(got ? got->detail() : std::string(), row.detail);
}

INSTANTIATE_TEST_SUITE_P(
    Blob, Utf8Table,
    ::testing::Values(
        Utf8Row{{}, ""}, Utf8Row{bytes_of("plain ascii, longer than a word"), ""},
        Utf8Row{{0xc2, 0x80, 0xdf, 0xbf}, ""}, Utf8Row{{0xe0, 0xa0, 0x80, 0xef, 0xbf, 0xbf}, ""},
        Utf8Row{{0xed, 0x9f, 0xbf}, ""}, Utf8Row{{0xf0, 0x90, 0x80, 0x80, 0xf4, 0x8f, 0xbf, 0xbf}, ""},
        // Bytes that never lead.
        Utf8Row{{0xff}, "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Row{{'a', 0x80}, "invalid utf-8 sequence of 1 bytes from index 1"},
        Utf8Row{{0xc0, 0x80}, "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Row{{0xc1, 0xbf}, "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Row{{0xf5, 0x80, 0x80, 0x80}, "invalid utf-8 sequence of 1 bytes from index 0"},
        // Wrong second byte: overlong, surrogate, above U+10FFFF, not a continuation.
        Utf8Row{{0xe0, 0x9f, 0xbf}, "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Row{{0xed, 0xa0, 0x80}, "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Row{{0xf0, 0x8f, 0xbf, 0xbf}, "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Row{{0xf4, 0x90, 0x80, 0x80}, "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Row{{0xc2, 'a'}, "invalid utf-8 sequence of 1 bytes from index 0"},
        // Wrong third and fourth bytes.
        Utf8Row{{0xe2, 0x82, 'a'}, "invalid utf-8 sequence of 2 bytes from index 0"},
        Utf8Row{{0xf0, 0x90, 0xc0, 0x80}, "invalid utf-8 sequence of 2 bytes from index 0"},
        Utf8Row{{0xf0, 0x90, 0x80, 0x7f}, "invalid utf-8 sequence of 3 bytes from index 0"},
        // Ends inside a sequence that is well-formed so far.
        Utf8Row{{'a', 0xe2, 0x82}, "incomplete utf-8 byte sequence from index 1"},
        Utf8Row{{0xc3}, "incomplete utf-8 byte sequence from index 0"},
        Utf8Row{{0xf4, 0x8f, 0xbf}, "incomplete utf-8 byte sequence from index 0"},
        // The index counts the valid bytes before, past the word-at-a-time path.
        Utf8Row{{'0', '1', '2', '3', '4', '5', '6', '7', '8', 0xc3, 0xa9, 0xe0, 0x80},
                "invalid utf-8 sequence of 1 bytes from index 11"}));

// ---- Packet readers ------------------------------------------------------

TEST(PacketReaders, ViewsPointIntoTheInputAndTrailingFieldsAreIgnored) {
  const Bytes data = Raw()
                         .field("PK")
                         .field("SK")
                         .field("packet")
                         .field("m\xc3\xa9")
                         .word(8)
                         .word(0x1122334455667788ull)
                         .field("extra")
                         .blob();
  auto e = read_encrypted_packet(data);
  ASSERT_TRUE(e.has_value()) << e.error().message();
  EXPECT_EQ(e->public_key.data(), data.data() + 16);
  EXPECT_EQ(Bytes(e->private_key.begin(), e->private_key.end()), bytes_of("SK"));
  EXPECT_EQ(Bytes(e->packet.begin(), e->packet.end()), bytes_of("packet"));
  EXPECT_EQ(e->mode, "m\xc3\xa9");
  EXPECT_EQ(e->identity, 0x1122334455667788ull);
}

struct ParseRow {
  const char* what;
  Bytes in;
  const char* setup;      // message from the setup reader ("" = success)
  const char* encrypted;  // message from the encrypted reader
};

class ParseTable : public ::testing::TestWithParam<ParseRow> {};

TEST_P(ParseTable, FirstFailure) {
  const ParseRow& row = GetParam();
  SCOPED_TRACE(row.what);
  auto s = read_setup_packet(row.in);
  EXPECT_EQ(s ? std::string() : s.error().message(), row.setup);
  auto e = read_encrypted_packet(row.in);
  EXPECT_EQ(e ? std::string() : e.error().message(), row.encrypted);
}

constexpr std::uint64_t kHuge = std::numeric_limits<std::uint64_t>::max();

// Length words near 2^64 at each position: no sum of position and length may
// wrap around and let a read pass the end.
INSTANTIATE_TEST_SUITE_P(
    Blob, ParseTable,
    ::testing::Values(
        ParseRow{"declared 2^64-1", Raw().word(kHuge).b,
                 "declared payload length 18446744073709551615 exceeds available bytes 0",
                 "declared payload length 18446744073709551615 exceeds available bytes 0"},
        ParseRow{"public key length 2^64-1", Raw().word(kHuge).raw("abcd").blob(),
                 "packet truncated while reading public key",
                 "packet truncated while reading public key"},
        ParseRow{"public key length 2^63", Raw().word(1ull << 63).raw("abcd").blob(),
                 "packet truncated while reading public key",
                 "packet truncated while reading public key"},
        ParseRow{"second field 2^64-1", Raw().word(0).word(kHuge).blob(),
                 "packet truncated while reading packet",
                 "packet truncated while reading private key"},
        ParseRow{"third field 2^64-1", Raw().word(0).word(0).word(kHuge).blob(),
                 "packet truncated while reading mode", "packet truncated while reading packet"},
        ParseRow{"identity length 2^64-1", Raw().word(0).word(0).word(0).word(kHuge).blob(),
                 "packet truncated while reading identity value",
                 "packet truncated while reading mode"}));

}  // namespace
}  // namespace kelvora
