// Salted order-preserving map and range conditions; see conditions.hpp.
#include "involute/conditions.hpp"

#include <bit>

#include "failure.hpp"
#include "primitives/hmac.hpp"
#include "primitives/sha256_blocks.hpp"

namespace kelvora {

namespace {

constexpr std::uint32_t kDomainHigh = 0xFFFFFFFEu;
constexpr std::uint64_t kRangeHigh = 0xFFFFFFFFFFFFFFFEull;
constexpr std::size_t kNodeMessageSize = 28;
constexpr double kTwoTo64 = 18446744073709551616.0;

// floor(x) as an unsigned 64-bit value, saturating at 2^64 - 1. x is never
// negative (nor NaN) here, so the truncating conversion is the floor.
inline std::uint64_t floor_saturated(double x) {
  if (x >= kTwoTo64) return UINT64_MAX;
  return static_cast<std::uint64_t>(x);
}

// HMAC-SHA256 of 28-byte node messages under one key. The pad states are
// hashed once; each node then costs exactly two compressions, of two final
// blocks whose padding and length fields are laid out once here. Two lanes let
// two independent descents run in lockstep: their compressions are issued
// alternately, so the processor overlaps the two dependency chains.
class NodeMac {
 public:
  explicit NodeMac(ByteView key) : compress_(sha256_blocks::active()) {
    const HmacSha256 mac(key);
    inner_ = mac.inner_state();
    outer_ = mac.outer_state();
    for (Lane& lane : lanes_) {
      lane.inner[kNodeMessageSize] = 0x80;
      store64_be(lane.inner + 56, (kSha256BlockSize + kNodeMessageSize) * 8);
      lane.outer[kSha256DigestSize] = 0x80;
      store64_be(lane.outer + 56, (kSha256BlockSize + kSha256DigestSize) * 8);
    }
  }
  ~NodeMac() {
    secure_wipe(inner_.data(), sizeof inner_);
    secure_wipe(outer_.data(), sizeof outer_);
  }
  NodeMac(const NodeMac&) = delete;
  NodeMac& operator=(const NodeMac&) = delete;

  // The first 8 tag bytes, big-endian, of the node's HMAC.
  std::uint64_t draw(const MapNode& node) {
    Lane& l = lanes_[0];
    set_message(l, node);
    Sha256State h = inner_;
    compress_(h.data(), l.inner, 1);
    set_digest(l, h);
    h = outer_;
    compress_(h.data(), l.outer, 1);
    return std::uint64_t(h[0]) << 32 | h[1];
  }

  // draw() for two nodes at once.
  void draw2(const MapNode& a, const MapNode& b, std::uint64_t& ua, std::uint64_t& ub) {
    Lane& la = lanes_[0];
    Lane& lb = lanes_[1];
    set_message(la, a);
    set_message(lb, b);
    Sha256State ha = inner_, hb = inner_;
    compress_(ha.data(), la.inner, 1);
    compress_(hb.data(), lb.inner, 1);
    set_digest(la, ha);
    set_digest(lb, hb);
    ha = outer_;
    hb = outer_;
    compress_(ha.data(), la.outer, 1);
    compress_(hb.data(), lb.outer, 1);
    ua = std::uint64_t(ha[0]) << 32 | ha[1];
    ub = std::uint64_t(hb[0]) << 32 | hb[1];
  }

 private:
  struct Lane {
    std::uint8_t inner[kSha256BlockSize] = {};  // node message, then padding
    std::uint8_t outer[kSha256BlockSize] = {};  // inner digest, then padding
  };

  static void set_message(Lane& lane, const MapNode& node) {
    store32_be(lane.inner, node.dlo);
    store32_be(lane.inner + 4, node.dhi);
    store64_be(lane.inner + 8, node.rlo);
    store64_be(lane.inner + 16, node.rhi);
    store32_be(lane.inner + 24, node.depth);
  }
  static void set_digest(Lane& lane, const Sha256State& h) {
    for (std::size_t i = 0; i < 8; ++i) store32_be(lane.outer + 4 * i, h[i]);
  }

  sha256_blocks::BlocksFn compress_;
  Sha256State inner_;
  Sha256State outer_;
  Lane lanes_[2];
};

bool same_node(const MapNode& a, const MapNode& b) {
  return a.dlo == b.dlo && a.dhi == b.dhi && a.rlo == b.rlo && a.rhi == b.rhi &&
         a.depth == b.depth;
}

// The descent of one key through the map's nodes.
struct Descent {
  MapNode node;
  std::uint32_t x;
  bool done = false;
  std::uint64_t image = 0;

  explicit Descent(std::uint32_t key) : node{0, kDomainHigh, 0, kRangeHigh, 0}, x(key) {}

  // A one-value domain ends the descent before any hashing.
  bool settled() {
    if (!done && node.dlo == node.dhi) {
      done = true;
      image = node.rlo;
    }
    return done;
  }
  void advance(std::uint64_t u) {
    const MapStep step = map_step(node, u, x);
    if (step.done) {
      done = true;
      image = step.image;
    } else {
      node = step.next;
    }
  }
};

// The map keyed by one salt; a node costs one HMAC over its 28-byte message.
class OrderPreservingMap {
 public:
  explicit OrderPreservingMap(ByteView salt) : mac_(salt) {}

  // x must lie in the domain.
  std::uint64_t map(std::uint32_t x) {
    Descent d(x);
    while (!d.settled()) d.advance(mac_.draw(d.node));
    return d.image;
  }

  // map(x) and map(y), in lockstep. While the two descents are at the same
  // node (at least the top one) that node is hashed once.
  void map2(std::uint32_t x, std::uint32_t y, std::uint64_t& mx, std::uint64_t& my) {
    Descent a(x), b(y);
    for (;;) {
      const bool da = a.settled(), db = b.settled();
      if (da && db) break;
      if (da) {
        b.advance(mac_.draw(b.node));
      } else if (db) {
        a.advance(mac_.draw(a.node));
      } else if (same_node(a.node, b.node)) {
        const std::uint64_t u = mac_.draw(a.node);
        a.advance(u);
        b.advance(u);
      } else {
        std::uint64_t ua, ub;
        mac_.draw2(a.node, b.node, ua, ub);
        a.advance(ua);
        b.advance(ub);
      }
    }
    mx = a.image;
    my = b.image;
  }

 private:
  NodeMac mac_;
};

// The ordered key of a value that must have an image.
std::uint32_t key_with_image(float value) {
  const std::uint32_t key = ordered_key(value);
  if (key > kDomainHigh) fail("called `Option::unwrap()` on a `None` value");
  return key;
}

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
  const std::uint32_t key = key_with_image(value);
  return OrderPreservingMap(salt).map(key);
}

// See header. The lower bound is checked first, so its failure is the one
// reported; the two descents then share one prepared map and run together.
PreparedBounds prepare_bounds(ByteView salt, float low, float high) {
  const std::uint32_t low_key = key_with_image(low);
  const std::uint32_t high_key = key_with_image(high);
  PreparedBounds out{};
  OrderPreservingMap(salt).map2(low_key, high_key, out.lo, out.hi);
  return out;
}

// See header.
std::uint64_t branch_value_outside(PreparedBounds bounds, ByteView salt) {
  std::uint8_t head[16];
  store64_be(head, bounds.lo);
  store64_be(head + 8, bounds.hi);
  const Sha256Digest d = Sha256().update(head, sizeof head).update(salt).finish();
  return load64_le(d.data()) ^ (bounds.lo & bounds.hi);
}

// See header. The digest is taken before the test value is mapped.
std::uint64_t branch_value(PreparedBounds bounds, ByteView salt, float test_value) {
  const std::uint64_t outside = branch_value_outside(bounds, salt);
  const std::uint64_t t = map_value(salt, test_value);
  const bool inside = bounds.lo <= t && t <= bounds.hi;
  return inside ? outside ^ kBranchInside : outside;
}

}  // namespace kelvora
