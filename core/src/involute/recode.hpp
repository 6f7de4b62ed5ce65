// Byte re-coding through a 256-entry table: out[i] = table[in[i]].
//
// Cycling re-codes every byte of a packet. With AVX-512 VBMI a vector of 64
// bytes is looked up in the table held in four registers (two two-register
// byte permutes and a blend on the top bit), far faster than one load per
// byte. `in` and `out` may be the same buffer; otherwise they must not
// overlap. Back ends: recode_avx512 (call only when avx512_vbmi_available())
// and recode_portable, chosen once per process by active(), portable last.
// Build with -DKELVORA_NO_AVX512 to leave the vector one out.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvora::recode {

using RecodeFn = void (*)(const std::uint8_t* table, const std::uint8_t* in, std::uint8_t* out,
                          std::size_t n);

void recode_portable(const std::uint8_t* table, const std::uint8_t* in, std::uint8_t* out,
                     std::size_t n);
void recode_avx512(const std::uint8_t* table, const std::uint8_t* in, std::uint8_t* out,
                   std::size_t n);

// True when the CPU and the operating system support AVX-512 F, BW and VBMI.
bool avx512_vbmi_available();

RecodeFn active();

}  // namespace kelvora::recode
