// Blob writer.
//
// A blob is an 8-byte header holding the payload length P (the blob's length
// minus 8), followed by P bytes of fields. Each field is an 8-byte length L
// followed by L bytes. Every integer is unsigned 64-bit little-endian; there is
// no alignment, padding, magic number, version or type tag.
//
// A BlobField is either a byte string, owned by the field or borrowed for the
// duration of the write, or an unsigned 64-bit integer, written as a field of
// length 8 holding the value little-endian. Text is a byte string holding its
// UTF-8 encoding, without terminator.
//
// Writing is a size pass (blob_size) then a fill (write_blob) into a buffer
// the caller owns, so the blob can be built in place inside any destination,
// with each field's bytes copied exactly once. package_fields does both into a
// new byte vector. None of them can fail except for want of memory.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "bytes.hpp"
#include "parallel/stop.hpp"

namespace kelvora {

inline constexpr std::size_t kBlobWordSize = 8;

class BlobField {
 public:
  enum class Kind : std::uint8_t { ByteString, Integer };

  // An empty byte string.
  BlobField() = default;
  // A byte string the caller keeps alive and unchanged until the write ends.
  static BlobField borrowed(ByteView bytes) noexcept;
  // A byte string owned by the field.
  static BlobField owned(Bytes bytes) noexcept;
  static BlobField integer(std::uint64_t value) noexcept;

  Kind kind() const noexcept { return kind_; }
  // L: the byte string's length, or 8 for an integer.
  std::uint64_t length() const noexcept;
  // The byte string (empty for an integer).
  ByteView bytes() const noexcept { return view_; }
  // The integer (0 for a byte string).
  std::uint64_t value() const noexcept { return value_; }

  // Writes the length word and the body at out; returns the end of what it
  // wrote. out must have room for 8 + length() bytes.
  std::uint8_t* write_to(std::uint8_t* out) const noexcept;

  // Frees an owned string's storage; the field becomes an empty byte string.
  void release() noexcept;

 private:
  Kind kind_ = Kind::ByteString;
  ByteView view_{};  // borrowed bytes, or owned_'s bytes
  Bytes owned_{};
  std::uint64_t value_ = 0;
};

// The constructors and accessors a blob is built from are inline: callers
// packing a few small fields spend most of their time in them.

inline BlobField BlobField::borrowed(ByteView bytes) noexcept {
  BlobField f;
  f.view_ = bytes;
  return f;
}

inline BlobField BlobField::integer(std::uint64_t value) noexcept {
  BlobField f;
  f.kind_ = Kind::Integer;
  f.value_ = value;
  return f;
}

inline std::uint64_t BlobField::length() const noexcept {
  return kind_ == Kind::Integer ? kBlobWordSize : view_.size();
}

inline std::uint8_t* BlobField::write_to(std::uint8_t* out) const noexcept {
  store64_le(out, length());
  out += kBlobWordSize;
  if (kind_ == Kind::Integer) {
    store64_le(out, value_);
    return out + kBlobWordSize;
  }
  const std::size_t n = view_.size();
  const std::uint8_t* in = view_.data();
  if (n >= 16 && n <= 32) {
    // Keys of 16 to 32 bytes are the common field: two fixed-size copies,
    // overlapping as needed, beat a call to memcpy for them.
    std::memcpy(out, in, 16);
    std::memcpy(out + n - 16, in + n - 16, 16);
  } else if (n != 0) {
    // memcpy with a null source is undefined even for zero bytes, and an
    // empty view may well hold a null pointer.
    std::memcpy(out, in, n);
  }
  return out + n;
}

// blob_size: total length of the blob holding these fields (8 for none).
// Throws std::bad_alloc when that length does not fit the address space.
std::size_t blob_size(std::span<const BlobField> fields);

// write_blob: writes the blob of these fields into out, whose size must be
// exactly blob_size(fields) (an internal failure otherwise). Checks `stop`
// after every few MiB written, and stops early (throwing Stopped) once it is
// stopped.
void write_blob(std::span<const BlobField> fields, std::span<std::uint8_t> out,
                StopToken stop = {});

// package_fields: the blob as a new byte vector, allocated once. Each owned
// field's storage is released as soon as it has been written.
Bytes package_fields(std::vector<BlobField> fields);

}  // namespace kelvora
