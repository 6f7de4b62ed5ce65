// A secret key for the hashes of in-memory sets that hold callers' data.
//
// process_hash_key() is 64 bits from the operating system's random source,
// drawn on first use in the process and again in the child after fork(), so
// neither an outsider nor a forked sibling can predict it and craft data
// whose hashes collide. It is never zero. Should the random source fail, a
// key from the clock and an address stands in, as a set's answers never
// depend on its key: only its speed against crafted data does.
#pragma once

#include <cstdint>

namespace kelvora {

std::uint64_t process_hash_key();

}  // namespace kelvora
