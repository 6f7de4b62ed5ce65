// package_blob, unpack_setup_packet, unpack_encrypted_packet
#include "convert.hpp"
#include "entries.hpp"

namespace kelvora::py {

PyObject* entry_package_blob(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&]() -> PyRef {
    const Signature& s = sig::package_blob;
    (void)bind(s, args, kwargs);
    raise(PyExc_NotImplementedError, "package_blob is not implemented yet");
  });
}

PyObject* entry_unpack_setup_packet(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&]() -> PyRef {
    const Signature& s = sig::unpack_setup_packet;
    const Bound b = bind(s, args, kwargs);
    (void)convert(s, b, 0, as_bytes);
    raise(PyExc_NotImplementedError, "unpack_setup_packet is not implemented yet");
  });
}

PyObject* entry_unpack_encrypted_packet(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&]() -> PyRef {
    const Signature& s = sig::unpack_encrypted_packet;
    const Bound b = bind(s, args, kwargs);
    (void)convert(s, b, 0, as_bytes);
    raise(PyExc_NotImplementedError, "unpack_encrypted_packet is not implemented yet");
  });
}

}  // namespace kelvora::py
