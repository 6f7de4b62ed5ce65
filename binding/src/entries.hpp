// The module's thirteen functions: signature (the single source of the
// parameter names and the text signature) and entry, in the published order.
//
// Python signatures:
//   involute_packet(packet, salt, chunk_size) -> bytes
//   cycle_packet(packet, old_salt, new_salt, old_key, new_key, chunk_size) -> bytes
//   get_chunk_size(packet) -> int
//   get_chunk_size_min(packet, min_size) -> int
//   cond_involute_packet(packet, involute_salt, chunk_size, low_bound, high_bound, test_value) -> bytes
//   gen_key(party_id, purpose, master_seed) -> bytes
//   prep_condition(low_bound, high_bound, salt) -> tuple[int, int]
//   cond_hash_branch(low_bound, high_bound, test_value, salt) -> int
//   map_data(pub_key, priv_key, identity, data_sequences) -> bytes
//   inv_data(pub_key, priv_keys, data_sequences) -> list[bytes]
//   package_blob(*args) -> bytes
//   unpack_setup_packet(data) -> tuple[bytes, bytes, str, int]
//   unpack_encrypted_packet(data) -> tuple[bytes, bytes, bytes, str, int]
#pragma once

#include <Python.h>

#include "binder.hpp"

namespace kelvora::py {

// X(name, signature)
#define KELVORA_FUNCTIONS(X)                                                                  \
  X(involute_packet, ("involute_packet", {"packet", "salt", "chunk_size"}))                   \
  X(cycle_packet, ("cycle_packet",                                                            \
                   {"packet", "old_salt", "new_salt", "old_key", "new_key", "chunk_size"}))   \
  X(get_chunk_size, ("get_chunk_size", {"packet"}))                                           \
  X(get_chunk_size_min, ("get_chunk_size_min", {"packet", "min_size"}))                       \
  X(cond_involute_packet, ("cond_involute_packet", {"packet", "involute_salt", "chunk_size",  \
                                                    "low_bound", "high_bound", "test_value"})) \
  X(gen_key, ("gen_key", {"party_id", "purpose", "master_seed"}))                             \
  X(prep_condition, ("prep_condition", {"low_bound", "high_bound", "salt"}))                  \
  X(cond_hash_branch, ("cond_hash_branch", {"low_bound", "high_bound", "test_value", "salt"})) \
  X(map_data, ("map_data", {"pub_key", "priv_key", "identity", "data_sequences"}))            \
  X(inv_data, ("inv_data", {"pub_key", "priv_keys", "data_sequences"}))                       \
  X(package_blob, ("package_blob", true))                                                     \
  X(unpack_setup_packet, ("unpack_setup_packet", {"data"}))                                   \
  X(unpack_encrypted_packet, ("unpack_encrypted_packet", {"data"}))

namespace sig {
#define KELVORA_SIGNATURE(name, signature) inline constexpr Signature name signature;
KELVORA_FUNCTIONS(KELVORA_SIGNATURE)
#undef KELVORA_SIGNATURE
}  // namespace sig

#define KELVORA_ENTRY(name, signature) \
  PyObject* entry_##name(PyObject* self, PyObject* args, PyObject* kwargs);
KELVORA_FUNCTIONS(KELVORA_ENTRY)
#undef KELVORA_ENTRY

}  // namespace kelvora::py
