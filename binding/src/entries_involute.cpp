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

PyObject* entry_involute_packet(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&] {
    const Signature& s = sig::involute_packet;
    const Bound b = bind(s, args, kwargs);
    PyObject* packet_array = convert(s, b, 0, as_byte_array);
    PyObject* salt_array = convert(s, b, 1, as_byte_array);
    const std::uint64_t chunk_size = convert(s, b, 2, as_u64);
    const ByteView packet = require_contiguous(packet_array);
    const ByteView salt = require_contiguous(salt_array);
    return bytes_filled(packet.size(), [&](std::uint8_t* out) {
      value_or_raise(run_unlocked(packet.size(), reading(packet_array, salt_array),
                                  [&](StopToken stop) {
                                    return involute_into(packet, salt, chunk_size,
                                                         {out, packet.size()}, stop);
                                  }),
                     kInvolutePrefix);
    });
  });
}

PyObject* entry_cycle_packet(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&] {
    const Signature& s = sig::cycle_packet;
    const Bound b = bind(s, args, kwargs);
    PyObject* packet_array = convert(s, b, 0, as_byte_array);
    PyObject* old_salt_array = convert(s, b, 1, as_byte_array);
    PyObject* new_salt_array = convert(s, b, 2, as_byte_array);
    PyObject* old_key_array = convert(s, b, 3, as_byte_array);
    PyObject* new_key_array = convert(s, b, 4, as_byte_array);
    const std::uint64_t chunk_size = convert(s, b, 5, as_u64);
    const ByteView packet = require_contiguous(packet_array);
    const ByteView old_salt = require_contiguous(old_salt_array);
    const ByteView new_salt = require_contiguous(new_salt_array);
    const ByteView old_key = require_contiguous(old_key_array);
    const ByteView new_key = require_contiguous(new_key_array);
    return bytes_filled(packet.size(), [&](std::uint8_t* out) {
      value_or_raise(run_unlocked(packet.size(),
                                  reading(packet_array, old_salt_array, new_salt_array,
                                          old_key_array, new_key_array),
                                  [&](StopToken stop) {
                                    return cycle_into(packet, old_salt, new_salt, old_key,
                                                      new_key, chunk_size, {out, packet.size()},
                                                      stop);
                                  }),
                     kCyclePrefix);
    });
  });
}

PyObject* entry_cond_involute_packet(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&] {
    const Signature& s = sig::cond_involute_packet;
    const Bound b = bind(s, args, kwargs);
    PyObject* packet_array = convert(s, b, 0, as_byte_array);
    PyObject* salt_array = convert(s, b, 1, as_byte_array);
    const std::uint64_t chunk_size = convert(s, b, 2, as_u64);
    const std::uint64_t low = convert(s, b, 3, as_u64);
    const std::uint64_t high = convert(s, b, 4, as_u64);
    const float test_value = convert(s, b, 5, as_f32);
    const ByteView packet = require_contiguous(packet_array);
    const ByteView salt = require_contiguous(salt_array);
    const Condition condition{{low, high}, test_value};
    return bytes_filled(packet.size(), [&](std::uint8_t* out) {
      value_or_raise(run_unlocked(packet.size(), reading(packet_array, salt_array),
                                  [&](StopToken stop) {
                                    return involute_if_into(packet, salt, chunk_size, condition,
                                                            {out, packet.size()}, stop);
                                  }),
                     kInvolutePrefix);
    });
  });
}

}  // namespace kelvora::py
