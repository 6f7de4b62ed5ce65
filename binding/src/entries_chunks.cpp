// get_chunk_size, get_chunk_size_min
#include "convert.hpp"
#include "entries.hpp"
#include "involute/chunks.hpp"

namespace kelvora::py {

PyObject* entry_get_chunk_size(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&] {
    const Signature& s = sig::get_chunk_size;
    const Bound b = bind(s, args, kwargs);
    PyObject* packet = convert(s, b, 0, as_byte_array);
    return int_result(chunk_size(require_contiguous(packet)));
  });
}

PyObject* entry_get_chunk_size_min(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&] {
    const Signature& s = sig::get_chunk_size_min;
    const Bound b = bind(s, args, kwargs);
    PyObject* packet = convert(s, b, 0, as_byte_array);
    const std::uint64_t min_size = convert(s, b, 1, as_u64);
    return int_result(chunk_size_min(require_contiguous(packet), min_size));
  });
}

}  // namespace kelvora::py
