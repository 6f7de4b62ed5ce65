// map_data, inv_data
#include "convert.hpp"
#include "entries.hpp"

namespace kelvora::py {

PyObject* entry_map_data(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&]() -> PyRef {
    const Signature& s = sig::map_data;
    const Bound b = bind(s, args, kwargs);
    (void)convert(s, b, 0, as_byte_array);
    (void)convert(s, b, 1, as_byte_array);
    (void)convert(s, b, 2, as_u64);
    (void)convert(s, b, 3, as_array_sequence);
    raise(PyExc_NotImplementedError, "map_data is not implemented yet");
  });
}

PyObject* entry_inv_data(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&]() -> PyRef {
    const Signature& s = sig::inv_data;
    const Bound b = bind(s, args, kwargs);
    (void)convert(s, b, 0, as_byte_array);
    (void)convert(s, b, 1, as_array_sequence);
    (void)convert(s, b, 2, as_array_sequence);
    raise(PyExc_NotImplementedError, "inv_data is not implemented yet");
  });
}

}  // namespace kelvora::py
