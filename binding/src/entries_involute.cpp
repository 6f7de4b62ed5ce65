// involute_packet, cycle_packet, cond_involute_packet
//
// The argument arrays are read in place, without the interpreter lock for
// packets of kUnlockedWork bytes or more (unlocked.hpp). The result is written
// once, straight into the bytes object that is returned; an error value drops
// that object and raises ValueError with the function family's prefix.
#include <span>

#include "convert.hpp"
#include "entries.hpp"
#include "involute/cycle.hpp"
#include "involute/involute.hpp"
#include "messages.hpp"
#include "unlocked.hpp"

namespace kelvora::py {

using messages::kCyclePrefix;
using messages::kInvolutePrefix;

namespace {

struct InvolutePacket {
  PyObject* packet;
  PyObject* salt;
  std::uint64_t chunk_size;
};
constexpr auto kInvolutePacket =
    declare("involute_packet", param("packet", as_byte_array, &InvolutePacket::packet),
            param("salt", as_byte_array, &InvolutePacket::salt),
            param("chunk_size", as_u64, &InvolutePacket::chunk_size));

PyRef involute_packet(const InvolutePacket& a) {
  const ByteView packet = require_contiguous(a.packet);
  const ByteView salt = require_contiguous(a.salt);
  return bytes_filled(packet.size(), [&](std::uint8_t* out) {
    value_or_raise(run_unlocked(packet.size(),
                                [&](StopToken stop) {
                                  return involute_into(packet, salt, a.chunk_size,
                                                       {out, packet.size()}, stop);
                                }),
                   kInvolutePrefix);
  });
}

struct CyclePacket {
  PyObject* packet;
  PyObject* old_salt;
  PyObject* new_salt;
  PyObject* old_key;
  PyObject* new_key;
  std::uint64_t chunk_size;
};
constexpr auto kCyclePacket =
    declare("cycle_packet", param("packet", as_byte_array, &CyclePacket::packet),
            param("old_salt", as_byte_array, &CyclePacket::old_salt),
            param("new_salt", as_byte_array, &CyclePacket::new_salt),
            param("old_key", as_byte_array, &CyclePacket::old_key),
            param("new_key", as_byte_array, &CyclePacket::new_key),
            param("chunk_size", as_u64, &CyclePacket::chunk_size));

PyRef cycle_packet(const CyclePacket& a) {
  const ByteView packet = require_contiguous(a.packet);
  const ByteView old_salt = require_contiguous(a.old_salt);
  const ByteView new_salt = require_contiguous(a.new_salt);
  const ByteView old_key = require_contiguous(a.old_key);
  const ByteView new_key = require_contiguous(a.new_key);
  return bytes_filled(packet.size(), [&](std::uint8_t* out) {
    value_or_raise(run_unlocked(packet.size(),
                                [&](StopToken stop) {
                                  return cycle_into(packet, old_salt, new_salt, old_key, new_key,
                                                    a.chunk_size, {out, packet.size()}, stop);
                                }),
                   kCyclePrefix);
  });
}

struct CondInvolutePacket {
  PyObject* packet;
  PyObject* involute_salt;
  std::uint64_t chunk_size;
  std::uint64_t low_bound;
  std::uint64_t high_bound;
  float test_value;
};
constexpr auto kCondInvolutePacket = declare(
    "cond_involute_packet", param("packet", as_byte_array, &CondInvolutePacket::packet),
    param("involute_salt", as_byte_array, &CondInvolutePacket::involute_salt),
    param("chunk_size", as_u64, &CondInvolutePacket::chunk_size),
    param("low_bound", as_u64, &CondInvolutePacket::low_bound),
    param("high_bound", as_u64, &CondInvolutePacket::high_bound),
    param("test_value", as_f32, &CondInvolutePacket::test_value));

PyRef cond_involute_packet(const CondInvolutePacket& a) {
  const ByteView packet = require_contiguous(a.packet);
  const ByteView salt = require_contiguous(a.involute_salt);
  const Condition condition{{a.low_bound, a.high_bound}, a.test_value};
  return bytes_filled(packet.size(), [&](std::uint8_t* out) {
    value_or_raise(run_unlocked(packet.size(),
                                [&](StopToken stop) {
                                  return involute_if_into(packet, salt, a.chunk_size, condition,
                                                          {out, packet.size()}, stop);
                                }),
                   kInvolutePrefix);
  });
}

}  // namespace

const Function involute_packet_function = function<kInvolutePacket, involute_packet>();
const Function cycle_packet_function = function<kCyclePacket, cycle_packet>();
const Function cond_involute_packet_function =
    function<kCondInvolutePacket, cond_involute_packet>();

}  // namespace kelvora::py
