// get_chunk_size, get_chunk_size_min
#include "convert.hpp"
#include "entries.hpp"
#include "involute/chunks.hpp"
#include "unlocked.hpp"

namespace kelvora::py {

PyObject* entry_get_chunk_size(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&] {
    const Signature& s = sig::get_chunk_size;
    const Bound b = bind(s, args, kwargs);
    PyObject* packet_array = convert(s, b, 0, as_byte_array);
    const ByteView packet = require_contiguous(packet_array);
    return int_result(run_unlocked(packet.size(), reading(packet_array),
                                   [&](StopToken stop) { return chunk_size(packet, stop); }));
  });
}

PyObject* entry_get_chunk_size_min(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&] {
    const Signature& s = sig::get_chunk_size_min;
    const Bound b = bind(s, args, kwargs);
    PyObject* packet_array = convert(s, b, 0, as_byte_array);
    const std::uint64_t min_size = convert(s, b, 1, as_u64);
    const ByteView packet = require_contiguous(packet_array);
    return int_result(run_unlocked(
        packet.size(), reading(packet_array),
        [&](StopToken stop) { return chunk_size_min(packet, min_size, stop); }));
  });
}

}  // namespace kelvora::py
