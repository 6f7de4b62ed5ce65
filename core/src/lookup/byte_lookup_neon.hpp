// A 256-entry byte lookup in NEON registers, for the NEON units (the byte
// lookup back end, the mapping's NEON sweeps). Include only when
// KELVORA_BUILD_NEON (backends.hpp). NEON is part of every aarch64 CPU, so
// these functions need no target attribute.
//
// TBL with four registers looks a byte up in 64 table entries and gives 0 for
// an index of 64 or more. The table is four such quarters; index x is sent to
// quarter q as x XOR 64q, which is below 64 exactly for the quarter holding
// entry x, so the four answers OR together into the one wanted. The four
// lookups are independent of each other (the chained TBX form would make them
// wait in turn).
#pragma once

#include <arm_neon.h>

#include <cstdint>

namespace kelvora::byte_lookup::neon {

// Quarter q holds entries 64q .. 64q+63. (Four named members, not an array:
// GCC keeps those in registers.)
struct Table {
  uint8x16x4_t q0, q1, q2, q3;
};

static inline Table load_table(const std::uint8_t* t) {
  return {vld1q_u8_x4(t), vld1q_u8_x4(t + 64), vld1q_u8_x4(t + 128), vld1q_u8_x4(t + 192)};
}

static inline uint8x16_t lookup(const Table& t, uint8x16_t idx) {
  const uint8x16_t r0 = vqtbl4q_u8(t.q0, idx);
  const uint8x16_t r1 = vqtbl4q_u8(t.q1, veorq_u8(idx, vdupq_n_u8(0x40)));
  const uint8x16_t r2 = vqtbl4q_u8(t.q2, veorq_u8(idx, vdupq_n_u8(0x80)));
  const uint8x16_t r3 = vqtbl4q_u8(t.q3, veorq_u8(idx, vdupq_n_u8(0xC0)));
  return vorrq_u8(vorrq_u8(r0, r1), vorrq_u8(r2, r3));
}

}  // namespace kelvora::byte_lookup::neon
