// Setup and encrypted packets: the two blobs this system reads.
//
// Both are blobs (blob.hpp) whose payload length must equal the input length
// minus 8, followed by these fields, each an 8-byte little-endian length and
// its bytes:
//   setup:     public key, packet,              mode, identity
//   encrypted: public key, private key, packet, mode, identity
// The mode is UTF-8 text (checked strictly, utf8.hpp); the identity field must
// be 8 bytes long and holds an unsigned 64-bit little-endian integer. Bytes
// after the identity field are ignored.
//
// The readers check in this order and return the first failure: input shorter
// than 8 bytes (Truncated "total length"); payload length different from the
// input length minus 8 (LengthMismatch); then, field by field, a missing length
// word or fewer bytes than the length says (Truncated with the field's label:
// "public key", "private key", "packet", "mode", "identity length" for the
// identity's length word, "identity value" for its bytes); an identity length
// other than 8 (BadIdentityLength); mode bytes that are not UTF-8
// (InvalidUtf8). So a truncated identity is reported before a wrong identity
// length, and bad mode text only after the identity has been read.
//
// Results are views into the input: the caller keeps the input alive and
// unchanged while it uses them, and copies what it keeps. The input is only
// read.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "blob/utf8.hpp"
#include "bytes.hpp"

namespace kelvora {

class PacketParseError {
 public:
  enum class Kind : std::uint8_t { LengthMismatch, Truncated, BadIdentityLength, InvalidUtf8 };

  static PacketParseError length_mismatch(std::uint64_t declared, std::uint64_t available) noexcept;
  // label must have static storage (the readers pass string literals).
  static PacketParseError truncated(std::string_view label) noexcept;
  static PacketParseError bad_identity_length(std::uint64_t length) noexcept;
  static PacketParseError invalid_utf8(Utf8Error error) noexcept;

  Kind kind() const noexcept { return kind_; }

  // message: the error's text, numbers in decimal:
  //   LengthMismatch    "declared payload length {declared} exceeds available bytes {available}"
  //                     (the same words when the declared length is the smaller one)
  //   Truncated         "packet truncated while reading {label}"
  //   BadIdentityLength "expected 8-byte identity field, found {length} bytes"
  //   InvalidUtf8       "utf-8 decoding failed: " + Utf8Error::detail()
  std::string message() const;

 private:
  PacketParseError() = default;

  Kind kind_ = Kind::Truncated;
  std::uint64_t first_ = 0;   // declared length, identity length
  std::uint64_t second_ = 0;  // available length
  std::string_view label_{};
  Utf8Error utf8_{0, 0};
};

struct SetupPacket {
  ByteView public_key;
  ByteView packet;
  std::string_view mode;  // well-formed UTF-8
  std::uint64_t identity;
};

struct EncryptedPacket {
  ByteView public_key;
  ByteView private_key;
  ByteView packet;
  std::string_view mode;  // well-formed UTF-8
  std::uint64_t identity;
};

// read_setup_packet: the setup packet held by data, or the first problem.
std::expected<SetupPacket, PacketParseError> read_setup_packet(ByteView data);

// read_encrypted_packet: the encrypted packet held by data, or the first problem.
std::expected<EncryptedPacket, PacketParseError> read_encrypted_packet(ByteView data);

}  // namespace kelvora
