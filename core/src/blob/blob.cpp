// Blob fields and the blob writer; see blob.hpp.
#include "blob/blob.hpp"

#include <algorithm>
#include <limits>
#include <new>

#include "failure.hpp"

namespace kelvora {

// See blob.hpp.
BlobField BlobField::owned(Bytes bytes) noexcept {
  BlobField f;
  f.owned_ = std::move(bytes);
  // A vector keeps its buffer when moved, so the view survives moves of the
  // field as well.
  f.view_ = f.owned_;
  return f;
}

// See blob.hpp.
void BlobField::release() noexcept {
  view_ = {};
  Bytes().swap(owned_);
}

// See blob.hpp.
std::size_t blob_size(std::span<const BlobField> fields) {
  // Borrowed fields may repeat one large buffer many times over, so the sum is
  // checked rather than trusted to fit.
  constexpr std::size_t kMax = std::numeric_limits<std::ptrdiff_t>::max();
  std::size_t total = kBlobWordSize;
  for (const BlobField& f : fields) {
    const std::uint64_t len = f.length();
    if (len > kMax - kBlobWordSize || total > kMax - kBlobWordSize - len) throw std::bad_alloc();
    total += kBlobWordSize + len;
  }
  return total;
}

// See blob.hpp.
void write_blob(std::span<const BlobField> fields, std::span<std::uint8_t> out, StopToken stop) {
  constexpr std::size_t kBytesPerCheckpoint = std::size_t(4) << 20;
  // One pass: each field is checked to fit before it is written, and the
  // fields must fill the buffer exactly.
  KV_ASSERT(out.size() >= kBlobWordSize);
  std::uint8_t* p = out.data();
  const std::uint8_t* const end = p + out.size();
  store64_le(p, out.size() - kBlobWordSize);
  p += kBlobWordSize;
  std::size_t unchecked = 0;  // bytes written since the last checkpoint
  for (const BlobField& f : fields) {
    const std::uint64_t len = f.length();
    KV_ASSERT(std::size_t(end - p) >= kBlobWordSize && std::size_t(end - p) - kBlobWordSize >= len);
    if (!stop || len <= kBytesPerCheckpoint) {
      p = f.write_to(p);
      unchecked += len;
      if (unchecked >= kBytesPerCheckpoint) {
        stop.checkpoint();
        unchecked = 0;
      }
      continue;
    }
    // A long byte string (a long integer field does not exist), in pieces.
    store64_le(p, len);
    p += kBlobWordSize;
    const std::uint8_t* in = f.bytes().data();
    for (std::size_t at = 0; at < len; at += kBytesPerCheckpoint) {
      stop.checkpoint();
      std::memcpy(p + at, in + at, std::min<std::size_t>(kBytesPerCheckpoint, len - at));
    }
    p += len;
  }
  KV_ASSERT(p == end);
}

// See blob.hpp.
Bytes package_fields(std::vector<BlobField> fields) {
  Bytes out(blob_size(fields));
  std::uint8_t* p = out.data();
  store64_le(p, out.size() - kBlobWordSize);
  p += kBlobWordSize;
  for (BlobField& f : fields) {
    p = f.write_to(p);
    f.release();
  }
  return out;
}

}  // namespace kelvora
