// Compiles the kernel bodies of the source file named by KORVALEN_KERNEL_SOURCE once per instruction
// set, each copy in its own namespace (baseline, avx2, avx512) inside korvalen::CPUKernels; the
// public kernels pick one at run time. Included once, at the end of that file's own first pass;
// the file is then included again for each set with KORVALEN_KERNEL_TARGET naming it.
//
// The wider sets come from `#pragma GCC target` after every header has been read, not from -m
// flags on the file: inline and template functions from headers keep the baseline target, so the
// copy the linker keeps runs on every processor, and only the bodies here use the wider
// instructions. No set enables FMA, and contraction is off in the build, so every copy rounds each
// operation exactly as written: the same bits on every path.
// KORVALEN_KERNEL_WIDE is 0 in the baseline pass, so that a kernel whose wide copies would not pay
// can be left out of them (see CPUKernels.cpp).
// No include guard: one inclusion per kernel source.

#define KORVALEN_KERNEL_TARGET baseline
#define KORVALEN_KERNEL_WIDE 0
#include KORVALEN_KERNEL_SOURCE
#undef KORVALEN_KERNEL_WIDE
#undef KORVALEN_KERNEL_TARGET
#define KORVALEN_KERNEL_WIDE 1

#pragma GCC push_options
#pragma GCC target("avx2")
#define KORVALEN_KERNEL_TARGET avx2
#include KORVALEN_KERNEL_SOURCE
#undef KORVALEN_KERNEL_TARGET
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512vl,avx512bw")
#define KORVALEN_KERNEL_TARGET avx512
#include KORVALEN_KERNEL_SOURCE
#undef KORVALEN_KERNEL_TARGET
#pragma GCC pop_options
#undef KORVALEN_KERNEL_WIDE
