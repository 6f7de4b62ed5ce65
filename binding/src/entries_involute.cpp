// involute_packet, cycle_packet, cond_involute_packet
#include "convert.hpp"
#include "entries.hpp"

namespace kelvora::py {

PyObject* entry_involute_packet(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&]() -> PyRef {
    const Signature& s = sig::involute_packet;
    const Bound b = bind(s, args, kwargs);
    (void)convert(s, b, 0, as_byte_array);
    (void)convert(s, b, 1, as_byte_array);
    (void)convert(s, b, 2, as_u64);
    raise(PyExc_NotImplementedError, "involute_packet is not implemented yet");
  });
}

PyObject* entry_cycle_packet(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&]() -> PyRef {
    const Signature& s = sig::cycle_packet;
    const Bound b = bind(s, args, kwargs);
    (void)convert(s, b, 0, as_byte_array);
    (void)convert(s, b, 1, as_byte_array);
    (void)convert(s, b, 2, as_byte_array);
    (void)convert(s, b, 3, as_byte_array);
    (void)convert(s, b, 4, as_byte_array);
    (void)convert(s, b, 5, as_u64);
    raise(PyExc_NotImplementedError, "cycle_packet is not implemented yet");
  });
}

PyObject* entry_cond_involute_packet(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&]() -> PyRef {
    const Signature& s = sig::cond_involute_packet;
    const Bound b = bind(s, args, kwargs);
    (void)convert(s, b, 0, as_byte_array);
    (void)convert(s, b, 1, as_byte_array);
    (void)convert(s, b, 2, as_u64);
    (void)convert(s, b, 3, as_u64);
    (void)convert(s, b, 4, as_u64);
    (void)convert(s, b, 5, as_f32);
    raise(PyExc_NotImplementedError, "cond_involute_packet is not implemented yet");
  });
}

}  // namespace kelvora::py
