// involute_packet, cycle_packet, cond_involute_packet
//
// The argument arrays are read in place, without the interpreter lock for
// packets of kUnlockedWork bytes or more (unlocked.hpp). The result is written
// once, straight into the bytes object that is returned; an error value drops
// that object and raises ValueError with the function family's prefix.
#include <span>

#include "convert.hpp"
#include "entries.hpp"
#include "involute/pipeline/cycle.hpp"
#include "involute/pipeline/involute.hpp"
#include "messages.hpp"
#include "unlocked.hpp"

namespace kelvora::py {

using messages::kCyclePrefix;
using messages::kInvolutePrefix;

namespace {

// A result as long as `packet`, written once by work(out, stop) while the
// arrays `read` names are read; an error value drops it and raises
// ValueError(prefix + the error's message).
template <class Read, class Work>
PyRef packet_result(ByteView packet, const Read& read, std::string_view prefix, Work&& work) {
  return bytes_filled(packet.size(), [&](std::uint8_t* out) {
    const std::span<std::uint8_t> into(out, packet.size());
    value_or_raise(
        run_unlocked(packet.size(), read, [&](StopToken stop) { return work(into, stop); }),
        prefix);
  });
}

struct Involute {
  PyObject *packet, *salt;
  std::uint64_t chunk_size;
};
constexpr auto kInvolute = declare(
    "involute_packet", KELVORA_PARAM(Involute, packet, as_byte_array),
    KELVORA_PARAM(Involute, salt, as_byte_array), KELVORA_PARAM(Involute, chunk_size, as_u64));

PyRef involute_packet(const Involute& a) {
  const ByteView packet = require_contiguous(a.packet);
  const ByteView salt = require_contiguous(a.salt);
  return packet_result(packet, reading(a.packet, a.salt), kInvolutePrefix,
                       [&](std::span<std::uint8_t> out, StopToken stop) {
    return involute_into(packet, salt, a.chunk_size, out, stop);
  });
}

struct Cycle {
  PyObject *packet, *old_salt, *new_salt, *old_key, *new_key;
  std::uint64_t chunk_size;
};
constexpr auto kCycle = declare(
    "cycle_packet", KELVORA_PARAM(Cycle, packet, as_byte_array),
    KELVORA_PARAM(Cycle, old_salt, as_byte_array), KELVORA_PARAM(Cycle, new_salt, as_byte_array),
    KELVORA_PARAM(Cycle, old_key, as_byte_array), KELVORA_PARAM(Cycle, new_key, as_byte_array),
    KELVORA_PARAM(Cycle, chunk_size, as_u64));

PyRef cycle_packet(const Cycle& a) {
  const ByteView packet = require_contiguous(a.packet);
  const ByteView old_salt = require_contiguous(a.old_salt);
  const ByteView new_salt = require_contiguous(a.new_salt);
  const ByteView old_key = require_contiguous(a.old_key);
  const ByteView new_key = require_contiguous(a.new_key);
  return packet_result(packet, reading(a.packet, a.old_salt, a.new_salt, a.old_key, a.new_key),
                       kCyclePrefix, [&](std::span<std::uint8_t> out, StopToken stop) {
    return cycle_into(packet, old_salt, new_salt, old_key, new_key, a.chunk_size, out, stop);
  });
}

struct CondInv {
  PyObject *packet, *involute_salt;
  std::uint64_t chunk_size, low_bound, high_bound;
  float test_value;
};
constexpr auto kCondInv = declare(
    "cond_involute_packet", KELVORA_PARAM(CondInv, packet, as_byte_array),
    KELVORA_PARAM(CondInv, involute_salt, as_byte_array),
    KELVORA_PARAM(CondInv, chunk_size, as_u64), KELVORA_PARAM(CondInv, low_bound, as_u64),
    KELVORA_PARAM(CondInv, high_bound, as_u64), KELVORA_PARAM(CondInv, test_value, as_f32));

PyRef cond_involute_packet(const CondInv& a) {
  const ByteView packet = require_contiguous(a.packet);
  const ByteView salt = require_contiguous(a.involute_salt);
  const Condition condition{{a.low_bound, a.high_bound}, a.test_value};
  return packet_result(packet, reading(a.packet, a.involute_salt), kInvolutePrefix,
                       [&](std::span<std::uint8_t> out, StopToken stop) {
    return involute_if_into(packet, salt, a.chunk_size, condition, out, stop);
  });
}

}  // namespace

const Function involute_packet_function = function<kInvolute, involute_packet>();
const Function cycle_packet_function = function<kCycle, cycle_packet>();
const Function cond_involute_packet_function = function<kCondInv, cond_involute_packet>();

}  // namespace kelvora::py
