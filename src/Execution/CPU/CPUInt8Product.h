#pragma once

#include <cstdint>

// The 8-bit product of the integer matrix kernel with the processors' dot-product instructions
// (VNNI). Each takes row-major n x n int8 matrices A and B and writes every element of the
// row-major int32 C = A x B. Integer sums are exact, so the result equals the plain triple loop's
// whatever the order. The caller checks the processor has the instructions.
namespace korvalen::CPUInt8Product {

// With AVX-512 VNNI; n a multiple of 64.
void multiplyAvx512Vnni(const std::int8_t* a, const std::int8_t* b, std::int32_t* c, int n);

// With AVX-VNNI (256-bit); n a multiple of 32.
void multiplyAvxVnni(const std::int8_t* a, const std::int8_t* b, std::int32_t* c, int n);

}  // namespace korvalen::CPUInt8Product
