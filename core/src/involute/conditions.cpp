// Salted order-preserving map and range conditions; see conditions.hpp.
#include "involute/conditions.hpp"

#include <bit>
#include <cmath>

#include "failure.hpp"
#include "primitives/hmac.hpp"

namespace kelvora {

namespace {

constexpr std::uint32_t kDomainHigh = 0xFFFFFFFEu;
constexpr std::uint64_t kRangeHigh = 0xFFFFFFFFFFFFFFFEull;
constexpr std::size_t kNodeMessageSize = 28;
constexpr double kTwoTo64 = 18446744073709551616.0;

// floor(x) as an unsigned 64-bit value, saturating at 2^64 - 1; x >= 0.
inline std::uint64_t floor_saturated(double x) {
  const double down = std::floor(x);
  if (down >= kTwoTo64) return UINT64_MAX;
  return static_cast<std::uint64_t>(down);
}

// The map keyed by one salt. The HMAC pad states are hashed once here and
// reused for every node; a node costs one HMAC over 28 bytes, that is two
// SHA-256 compressions.
class OrderPreservingMap {
 public:
  explicit OrderPreservingMap(ByteView salt) : mac_(salt) {}

  std::optional<std::uint64_t> map(std::uint32_t x) const {
    if (x > kDomainHigh) return std::nullopt;
    MapNode node{0, kDomainHigh, 0, kRangeHigh, 0};
    for (;;) {
      if (node.dlo == node.dhi) return node.rlo;  // before any hashing
      std::uint8_t message[kNodeMessageSize];
      store32_be(message, node.dlo);
      store32_be(message + 4, node.dhi);
      store64_be(message + 8, node.rlo);
      store64_be(message + 16, node.rhi);
      store32_be(message + 24, node.depth);
      const Sha256Digest tag = mac_.mac(message);
      const MapStep step = map_step(node, load64_be(tag.data()), x);
      if (step.done) return step.image;
      node = step.next;
    }
  }

  std::uint64_t map_value(float value) const {
    const std::optional<std::uint64_t> image = map(ordered_key(value));
    if (!image) fail("called `Option::unwrap()` on a `None` value");
    return *image;
  }

 private:
  HmacSha256 mac_;
};

}  // namespace

// See header.
std::uint32_t ordered_key(float value) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  return (bits & 0x80000000u) ? ~bits : bits ^ 0x80000000u;
}

// See header.
MapStep map_step(const MapNode& node, std::uint64_t u, std::uint32_t x) {
  // u / 2^64 with one rounding: the conversion rounds to nearest even and the
  // power-of-two scaling is exact. f is 1.0 for the top 2^10 values of u.
  const double f = static_cast<double>(u) * 0x1p-64;
  const double wd = static_cast<double>(std::uint64_t(node.dhi) - node.dlo + 1);
  const double wr = static_cast<double>(node.rhi - node.rlo + 1);  // 2^64 - 1 rounds to 2^64
  const std::uint64_t dmid = std::uint64_t(node.dlo) + floor_saturated(f * wd);
  const std::uint64_t rmid = node.rlo + floor_saturated(f * wr);

  if (dmid == x) return {true, rmid, {}};
  if (dmid > x) {
    // With f = 1.0, dmid = dhi + 1: the domain stays and the next depth draws
    // a new split.
    return {false, 0,
            {node.dlo, static_cast<std::uint32_t>(dmid - 1), node.rlo, rmid - 1, node.depth + 1}};
  }
  return {false, 0,
          {static_cast<std::uint32_t>(dmid + 1), node.dhi, rmid + 1, node.rhi, node.depth + 1}};
}

// See header.
std::optional<std::uint64_t> map_key(ByteView salt, std::uint32_t key) {
  if (key > kDomainHigh) return std::nullopt;
  return OrderPreservingMap(salt).map(key);
}

// See header.
std::uint64_t map_value(ByteView salt, float value) {
  return OrderPreservingMap(salt).map_value(value);
}

// See header. Both bounds share one prepared map; the lower bound goes first,
// so its failure ends the call before the upper one is looked at.
PreparedBounds prepare_bounds(ByteView salt, float low, float high) {
  const OrderPreservingMap map(salt);
  const std::uint64_t lo = map.map_value(low);
  const std::uint64_t hi = map.map_value(high);
  return {lo, hi};
}

// See header. The digest is taken before the test value is mapped.
std::uint64_t branch_value(PreparedBounds bounds, ByteView salt, float test_value) {
  std::uint8_t head[16];
  store64_be(head, bounds.lo);
  store64_be(head + 8, bounds.hi);
  const Sha256Digest d = Sha256().update(head, sizeof head).update(salt).finish();
  const std::uint64_t hv = load64_le(d.data());

  const std::uint64_t t = map_value(salt, test_value);
  const std::uint64_t inside = (bounds.lo <= t && t <= bounds.hi) ? kBranchInside : 0;
  return hv ^ (bounds.lo & bounds.hi) ^ inside;
}

}  // namespace kelvora
