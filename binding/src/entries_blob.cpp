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

namespace {

constexpr auto kPackageBlob = declare_variadic("package_blob");

PyRef package_blob(const Positional& args) {
  const BlobFields fields(args);
  const std::span<const BlobField> all = fields.fields();
  const std::size_t size = blob_size(all);
  return bytes_filled(size, [&](std::uint8_t* out) {
    run_unlocked(size, reading(fields.arrays()),
                 [&](StopToken stop) { write_blob(all, {out, size}, stop); });
  });
}

struct UnpackPacket {
  ByteView data;
};

constexpr auto kUnpackSetupPacket =
    declare("unpack_setup_packet", KELVORA_PARAM(UnpackPacket, data, as_bytes));

PyRef unpack_setup_packet(const UnpackPacket& a) {
  const SetupPacket p = value_or_raise(read_setup_packet(a.data), "");
  // Made in field order (a braced list is evaluated left to right).
  PyRef f[] = {bytes_result(p.public_key), bytes_result(p.packet), str_result(p.mode),
               int_result(p.identity)};
  return tuple_result({&f[0], &f[1], &f[2], &f[3]});
}

constexpr auto kUnpackEncryptedPacket =
    declare("unpack_encrypted_packet", KELVORA_PARAM(UnpackPacket, data, as_bytes));

PyRef unpack_encrypted_packet(const UnpackPacket& a) {
  const EncryptedPacket p = value_or_raise(read_encrypted_packet(a.data), "");
  PyRef f[] = {bytes_result(p.public_key), bytes_result(p.private_key), bytes_result(p.packet),
               str_result(p.mode), int_result(p.identity)};
  return tuple_result({&f[0], &f[1], &f[2], &f[3], &f[4]});
}

}  // namespace

const Function package_blob_function = function<kPackageBlob, package_blob>();
const Function unpack_setup_packet_function = function<kUnpackSetupPacket, unpack_setup_packet>();
const Function unpack_encrypted_packet_function =
    function<kUnpackEncryptedPacket, unpack_encrypted_packet>();

}  // namespace kelvora::py
