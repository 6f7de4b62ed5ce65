// Internal seam of SHA-256: compress whole 64-byte blocks into a chaining
// value. Every back end implements exactly this and nothing else, so a back end
// cannot get padding wrong. Included by the SHA-NI unit, so it must pull in
// nothing but fixed-width integers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvora::sha256_blocks {

using BlocksFn = void (*)(std::uint32_t state[8], const std::uint8_t* data, std::size_t nblocks);

// Plain C++ FIPS 180-4 compression; available everywhere.
void blocks_portable(std::uint32_t state[8], const std::uint8_t* data, std::size_t nblocks);

// x86-64 SHA extensions; call only when shani_available() is true.
void blocks_shani(std::uint32_t state[8], const std::uint8_t* data, std::size_t nblocks);
bool shani_available();

// The back end chosen once per process: SHA-NI when present, portable last.
BlocksFn active();

}  // namespace kelvora::sha256_blocks
