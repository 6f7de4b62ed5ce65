// package_blob, unpack_setup_packet, unpack_encrypted_packet
//
// package_blob(*args) in Python terms:
//
//   fields = []
//   for arg in args:                        # first rule that applies decides
//       if 1-D uint8 ndarray:  arg must be contiguous; its bytes
//       elif bytes:            its bytes
//       elif str:              arg.encode("utf-8")
//       elif fits u64 via int/__index__:    an integer field
//       elif sequence of ints 0..255:       bytes(arg)
//       else: TypeError(kUnsupportedField)
//   return blob(fields)
//
// The fields borrow arrays, bytes objects and UTF-8 encodings (blob_fields.hpp);
// the blob is written once, straight into the returned bytes object, without
// the interpreter lock when it is long (unlocked.hpp).
#include <span>

#include "blob/blob.hpp"
#include "blob/packets.hpp"
#include "blob_fields.hpp"
#include "convert.hpp"
#include "entries.hpp"
#include "unlocked.hpp"

namespace kelvora::py {

PyObject* entry_package_blob(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&]() -> PyRef {
    const Bound b = bind(sig::package_blob, args, kwargs);
    const BlobFields fields(b.args.get());
    const std::span<const BlobField> all = fields.fields();
    const std::size_t size = blob_size(all);
    return bytes_filled(size, [&](std::uint8_t* out) {
      run_unlocked(size, reading(fields.arrays()),
                   [&](StopToken stop) { write_blob(all, {out, size}, stop); });
    });
  });
}

PyObject* entry_unpack_setup_packet(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&] {
    const Signature& s = sig::unpack_setup_packet;
    const Bound b = bind(s, args, kwargs);
    const ByteView data = convert(s, b, 0, as_bytes);
    const SetupPacket p = value_or_raise(read_setup_packet(data), "");
    PyRef public_key = bytes_result(p.public_key);
    PyRef packet = bytes_result(p.packet);
    PyRef mode = str_result(p.mode);
    PyRef identity = int_result(p.identity);
    return tuple_result({&public_key, &packet, &mode, &identity});
  });
}

PyObject* entry_unpack_encrypted_packet(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&] {
    const Signature& s = sig::unpack_encrypted_packet;
    const Bound b = bind(s, args, kwargs);
    const ByteView data = convert(s, b, 0, as_bytes);
    const EncryptedPacket p = value_or_raise(read_encrypted_packet(data), "");
    PyRef public_key = bytes_result(p.public_key);
    PyRef private_key = bytes_result(p.private_key);
    PyRef packet = bytes_result(p.packet);
    PyRef mode = str_result(p.mode);
    PyRef identity = int_result(p.identity);
    return tuple_result({&public_key, &private_key, &packet, &mode, &identity});
  });
}

}  // namespace kelvora::py
