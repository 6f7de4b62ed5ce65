// Internal: the salted order-preserving map's descent, one step and one key
// at a time (conditions.hpp gives the map as a whole). conditions.cpp runs
// it; tests reach each piece here.
#pragma once

#include <cstdint>
#include <optional>

#include "bytes.hpp"

namespace kelvora {

// One node of the map's descent: domain [dlo, dhi], range [rlo, rhi], and
// the number of steps taken before it.
struct MapNode {
  std::uint32_t dlo;
  std::uint32_t dhi;
  std::uint64_t rlo;
  std::uint64_t rhi;
  std::uint32_t depth;
};

// The outcome of one step for key x: either the image, or the child node to
// continue with.
struct MapStep {
  bool done;
  std::uint64_t image;  // when done
  MapNode next;         // when not done
};

// One step of the descent for key x at `node` with split draw u (the first 8
// bytes of the node's HMAC tag, big-endian). The node message and its HMAC
// are the caller's; this is the arithmetic alone.
MapStep map_step(const MapNode& node, std::uint64_t u, std::uint32_t x);

// Image of a key under the map keyed by `salt`; nullopt for 0xFFFFFFFF.
std::optional<std::uint64_t> map_key(ByteView salt, std::uint32_t key);

}  // namespace kelvora
