// Salted order-preserving map and range conditions; see conditions.hpp and
// order_map.hpp.
#include "involute/conditions/conditions.hpp"
#include "involute/conditions/order_map.hpp"

#include <bit>

#include "failure.hpp"
#include "messages.hpp"
#include "primitives/node_mac.hpp"
#include "primitives/hmac.hpp"
#include "primitives/sha256_blocks.hpp"

namespace kelvora {

namespace {

constexpr std::uint32_t kDomainHigh = 0xFFFFFFFEu;
constexpr std::uint64_t kRangeHigh = 0xFFFFFFFFFFFFFFFEull;
constexpr double kTwoTo64 = 18446744073709551616.0;

// floor(x) as an unsigned 64-bit value, saturating at 2^64 - 1. x is never
// negative (nor NaN) here, so the truncating conversion is the floor.
inline std::uint64_t floor_saturated(double x) {
  if (x >= kTwoTo64) return UINT64_MAX;
  return static_cast<std::uint64_t>(x);
}

// HMAC-SHA256 of node messages under one key (node_mac.hpp). The pad states
// are hashed once; each node then costs two compressions, made in registers
// by a register routine when the CPU has one, through the block seam's back
// end otherwise.
class NodeMac {
 public:
  explicit NodeMac(ByteView key)
      : compress_(sha256_blocks::active()), in_registers_(node_mac::in_registers()) {
    const HmacSha256 mac(key);
    inner_ = mac.inner_state();
    outer_ = mac.outer_state();
  }
  ~NodeMac() {
    secure_wipe(inner_.data(), sizeof inner_);
    secure_wipe(outer_.data(), sizeof outer_);
  }
  NodeMac(const NodeMac&) = delete;
  NodeMac& operator=(const NodeMac&) = delete;

  // The first 8 tag bytes, big-endian, of the node's HMAC.
  std::uint64_t draw(const MapNode& node) const {
    const Words m = words(node);
    return in_registers_.draw
               ? in_registers_.draw(inner_.data(), outer_.data(), m.w)
               : node_mac::draw_blocks(compress_, inner_.data(), outer_.data(), m.w);
  }

  // draw() for two nodes at once.
  void draw2(const MapNode& a, const MapNode& b, std::uint64_t& ua, std::uint64_t& ub) const {
    const Words ma = words(a), mb = words(b);
    std::uint64_t draws[2];
    if (in_registers_.draw2) {
      in_registers_.draw2(inner_.data(), outer_.data(), ma.w, mb.w, draws);
    } else {
      node_mac::draw2_blocks(compress_, inner_.data(), outer_.data(), ma.w, mb.w, draws);
    }
    ua = draws[0];
    ub = draws[1];
  }

 private:
  struct Words {
    std::uint32_t w[node_mac::kMessageWords];
  };
  static Words words(const MapNode& node) {
    return {{node.dlo, node.dhi, static_cast<std::uint32_t>(node.rlo >> 32),
             static_cast<std::uint32_t>(node.rlo), static_cast<std::uint32_t>(node.rhi >> 32),
             static_cast<std::uint32_t>(node.rhi), node.depth}};
  }

  sha256_blocks::BlocksFn compress_;
  node_mac::InRegisters in_registers_;
  Sha256State inner_;
  Sha256State outer_;
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
  if (key > kDomainHigh) fail(std::string(messages::kUnwrapNone));
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
