// libFuzzer harness for the setup and encrypted packet readers.
//
// Every input must end in a packet or one of the parse errors, never a crash,
// an out-of-bounds read or undefined behaviour (ASan and UBSan watch). Beyond
// that the harness checks what a fault would break:
//   - a packet's views lie inside the input, and writing its fields back as a
//     blob reproduces the input's payload prefix byte for byte;
//   - an error's message starts with one of the readers' message texts;
//   - the UTF-8 check agrees with a reference built here the slow way, from
//     the encodings of every Unicode scalar value.
#include <algorithm>
#include <bitset>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "blob/blob.hpp"
#include "blob/packets.hpp"
#include "blob/utf8.hpp"

using namespace kelvora;

namespace {

[[noreturn]] void fault(const char* what) {
  std::fprintf(stderr, "packet_fuzz: %s\n", what);
  std::abort();
}

// ---- Reference UTF-8 check -------------------------------------------------

// Encodes a code point the textbook way.
int encode(std::uint32_t cp, std::uint8_t out[4]) {
  if (cp < 0x80) {
    out[0] = std::uint8_t(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = std::uint8_t(0xC0 | cp >> 6);
    out[1] = std::uint8_t(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = std::uint8_t(0xE0 | cp >> 12);
    out[1] = std::uint8_t(0x80 | (cp >> 6 & 0x3F));
    out[2] = std::uint8_t(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = std::uint8_t(0xF0 | cp >> 18);
  out[1] = std::uint8_t(0x80 | (cp >> 12 & 0x3F));
  out[2] = std::uint8_t(0x80 | (cp >> 6 & 0x3F));
  out[3] = std::uint8_t(0x80 | (cp & 0x3F));
  return 4;
}

// Every prefix (proper or whole) of length 1..4 of the encoding of some scalar
// value, and every whole encoding, keyed by its bytes.
struct Utf8Reference {
  std::unique_ptr<std::bitset<(1u << 24)>> starts[4];  // lengths 1..3 (index 0 unused)
  std::unique_ptr<std::bitset<(1u << 24)>> whole[4];
  std::vector<std::uint32_t> four_byte_wholes;  // 4-byte encodings, as big-endian words (sorted)

  Utf8Reference() {
    for (int j = 1; j <= 3; ++j) {
      starts[j] = std::make_unique<std::bitset<(1u << 24)>>();
      whole[j] = std::make_unique<std::bitset<(1u << 24)>>();
    }
    for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
      if (cp >= 0xD800 && cp <= 0xDFFF) continue;  // surrogates are not scalar values
      std::uint8_t b[4];
      const int len = encode(cp, b);
      for (int j = 1; j <= len && j <= 3; ++j) starts[j]->set(key(b, j));
      if (len <= 3) whole[len]->set(key(b, len));
      else four_byte_wholes.push_back(std::uint32_t(key(b, 3)) << 8 | b[3]);
    }
  }

  static std::uint32_t key(const std::uint8_t* b, int j) {
    std::uint32_t k = 0;
    for (int i = 0; i < j; ++i) k = k << 8 | b[i];
    return k;
  }
  bool is_start(const std::uint8_t* b, int j) const {
    if (j <= 3) return starts[j]->test(key(b, j));
    return is_whole(b, 4);
  }
  bool is_whole(const std::uint8_t* b, int j) const {
    if (j <= 3) return whole[j]->test(key(b, j));
    const std::uint32_t k = key(b, 4);
    // four_byte_wholes was generated in increasing order of code point, which is
    // also increasing order of the encoded bytes.
    auto it = std::lower_bound(four_byte_wholes.begin(), four_byte_wholes.end(), k);
    return it != four_byte_wholes.end() && *it == k;
  }

  // The first problem: at the first index where no whole encoding starts,
  // the longest start of one found there, or "incomplete" when that start
  // runs to the end of the input.
  std::optional<Utf8Error> check(ByteView in) const {
    std::size_t i = 0;
    while (i < in.size()) {
      int longest = 0;
      for (int j = 1; j <= 4 && i + j <= in.size(); ++j)
        if (is_start(in.data() + i, j)) longest = j;
      if (longest > 0 && is_whole(in.data() + i, longest)) {
        i += std::size_t(longest);
        continue;
      }
      if (longest > 0 && i + std::size_t(longest) == in.size()) return Utf8Error{i, 0};
      return Utf8Error{i, std::uint8_t(longest == 0 ? 1 : longest)};
    }
    return std::nullopt;
  }
};

const Utf8Reference& reference() {
  static const Utf8Reference* r = new Utf8Reference();
  return *r;
}

// ---- Packet checks -----------------------------------------------------------

bool inside(ByteView part, ByteView whole) {
  if (part.empty()) return true;
  const auto* b = whole.data();
  return part.data() >= b && part.data() + part.size() <= b + whole.size();
}

bool inside(std::string_view part, ByteView whole) {
  return inside(ByteView(reinterpret_cast<const std::uint8_t*>(part.data()), part.size()), whole);
}

ByteView bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Writing the packet's fields back gives the input's payload prefix.
void check_rewrite(ByteView in, const std::vector<BlobField>& fields) {
  const std::size_t size = blob_size(fields);
  std::vector<std::uint8_t> out(size);
  write_blob(fields, out);
  if (size > in.size() || std::memcmp(out.data() + 8, in.data() + 8, size - 8) != 0)
    fault("fields written back differ from the input");
  if (load64_le(in.data()) != in.size() - 8) fault("accepted a wrong payload length");
}

void check_error(const PacketParseError& e) {
  static constexpr std::string_view kStarts[] = {
      "declared payload length ", "packet truncated while reading ",
      "expected 8-byte identity field, found ", "utf-8 decoding failed: "};
  const std::string m = e.message();
  for (std::string_view s : kStarts)
    if (m.starts_with(s)) return;
  fault("unknown error message");
}

void check_mode(std::string_view mode) {
  if (reference().check(bytes_of(mode))) fault("accepted mode text that is not UTF-8");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  reference();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);

  if (auto s = read_setup_packet(in)) {
    if (!inside(s->public_key, in) || !inside(s->packet, in) || !inside(s->mode, in))
      fault("setup view outside the input");
    check_mode(s->mode);
    std::vector<BlobField> f;
    f.push_back(BlobField::borrowed(s->public_key));
    f.push_back(BlobField::borrowed(s->packet));
    f.push_back(BlobField::borrowed(bytes_of(s->mode)));
    f.push_back(BlobField::integer(s->identity));
    check_rewrite(in, f);
  } else {
    check_error(s.error());
  }

  if (auto e = read_encrypted_packet(in)) {
    if (!inside(e->public_key, in) || !inside(e->private_key, in) || !inside(e->packet, in) ||
        !inside(e->mode, in))
      fault("encrypted view outside the input");
    check_mode(e->mode);
    std::vector<BlobField> f;
    f.push_back(BlobField::borrowed(e->public_key));
    f.push_back(BlobField::borrowed(e->private_key));
    f.push_back(BlobField::borrowed(e->packet));
    f.push_back(BlobField::borrowed(bytes_of(e->mode)));
    f.push_back(BlobField::integer(e->identity));
    check_rewrite(in, f);
  } else {
    check_error(e.error());
  }

  // The whole input as text, against the reference.
  const auto got = check_utf8(in);
  const auto want = reference().check(in);
  if (got.has_value() != want.has_value() ||
      (got && (got->index != want->index || got->length != want->length)))
    fault("UTF-8 check differs from the reference");
  return 0;
}
