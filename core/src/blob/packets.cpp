// Setup and encrypted packet readers; see packets.hpp.
#include "blob/packets.hpp"

#include <array>
#include <optional>
#include <span>

#include "blob/blob.hpp"
#include "blob/byte_reader.hpp"
#include "messages.hpp"

namespace kelvora {

// See packets.hpp.
PacketParseError PacketParseError::length_mismatch(std::uint64_t declared,
                                                   std::uint64_t available) noexcept {
  PacketParseError e;
  e.kind_ = Kind::LengthMismatch;
  e.first_ = declared;
  e.second_ = available;
  return e;
}

// See packets.hpp.
PacketParseError PacketParseError::truncated(std::string_view label) noexcept {
  PacketParseError e;
  e.kind_ = Kind::Truncated;
  e.label_ = label;
  return e;
}

// See packets.hpp.
PacketParseError PacketParseError::bad_identity_length(std::uint64_t length) noexcept {
  PacketParseError e;
  e.kind_ = Kind::BadIdentityLength;
  e.first_ = length;
  return e;
}

// See packets.hpp.
PacketParseError PacketParseError::invalid_utf8(Utf8Error error) noexcept {
  PacketParseError e;
  e.kind_ = Kind::InvalidUtf8;
  e.utf8_ = error;
  return e;
}

// See packets.hpp.
std::string PacketParseError::message() const {
  switch (kind_) {
    case Kind::LengthMismatch:
      return messages::payload_length(first_, second_);
    case Kind::Truncated:
      return messages::truncated(label_);
    case Kind::BadIdentityLength:
      return messages::identity_length(first_);
    case Kind::InvalidUtf8:
      return messages::utf8_failed(utf8_.detail());
  }
  return {};
}

namespace {

constexpr std::string_view kIdentityLength = "identity length";
constexpr std::string_view kIdentityValue = "identity value";

// Reads one length-prefixed field; both the length word and the bytes are
// reported under the field's label.
std::optional<PacketParseError> read_field(ByteReader& r, std::string_view label, ByteView& out) {
  std::uint64_t len = 0;
  if (!r.get_u64le(len) || !r.get_bytes(len, out)) return PacketParseError::truncated(label);
  return std::nullopt;
}

// The common shape of both packets: header, the byte fields named by labels
// (the last being the mode), then the identity; checks in the documented order.
template <std::size_t N>
std::optional<PacketParseError> read_packet(ByteView data,
                                            const std::array<std::string_view, N>& labels,
                                            std::array<ByteView, N>& fields,
                                            std::uint64_t& identity) {
  ByteReader r(data);
  std::uint64_t declared = 0;
  if (!r.get_u64le(declared)) return PacketParseError::truncated("total length");
  if (declared != r.remaining()) return PacketParseError::length_mismatch(declared, r.remaining());
  for (std::size_t i = 0; i < N; ++i) {
    if (auto e = read_field(r, labels[i], fields[i])) return e;
  }
  std::uint64_t id_len = 0;
  ByteView id_bytes;
  if (!r.get_u64le(id_len)) return PacketParseError::truncated(kIdentityLength);
  if (!r.get_bytes(id_len, id_bytes)) return PacketParseError::truncated(kIdentityValue);
  if (id_len != kBlobWordSize) return PacketParseError::bad_identity_length(id_len);
  identity = load64_le(id_bytes.data());
  if (auto bad = check_utf8(fields[N - 1])) return PacketParseError::invalid_utf8(*bad);
  return std::nullopt;
}

std::string_view as_text(ByteView b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

}  // namespace

// See packets.hpp.
std::expected<SetupPacket, PacketParseError> read_setup_packet(ByteView data) {
  static constexpr std::array<std::string_view, 3> kLabels{"public key", "packet", "mode"};
  std::array<ByteView, 3> f{};
  std::uint64_t identity = 0;
  if (auto e = read_packet(data, kLabels, f, identity)) return std::unexpected(*e);
  return SetupPacket{f[0], f[1], as_text(f[2]), identity};
}

// See packets.hpp.
std::expected<EncryptedPacket, PacketParseError> read_encrypted_packet(ByteView data) {
  static constexpr std::array<std::string_view, 4> kLabels{"public key", "private key", "packet",
                                                           "mode"};
  std::array<ByteView, 4> f{};
  std::uint64_t identity = 0;
  if (auto e = read_packet(data, kLabels, f, identity)) return std::unexpected(*e);
  return EncryptedPacket{f[0], f[1], f[2], as_text(f[3]), identity};
}

}  // namespace kelvora
