// The module's thirteen functions, each a declaration (the single source of
// its parameter names, text signature and conversions) and an entry.
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

// The functions in the published order; each entries_*.cpp declares its
// functions' parameters (binder.hpp) and defines <name>_function.
#define KELVORA_FUNCTIONS(X) \
  X(involute_packet)         \
  X(cycle_packet)            \
  X(get_chunk_size)          \
  X(get_chunk_size_min)      \
  X(cond_involute_packet)    \
  X(gen_key)                 \
  X(prep_condition)          \
  X(cond_hash_branch)        \
  X(map_data)                \
  X(inv_data)                \
  X(package_blob)            \
  X(unpack_setup_packet)     \
  X(unpack_encrypted_packet)

#define KELVORA_DECLARE_FUNCTION(name) extern const Function name##_function;
KELVORA_FUNCTIONS(KELVORA_DECLARE_FUNCTION)
#undef KELVORA_DECLARE_FUNCTION

}  // namespace kelvora::py
