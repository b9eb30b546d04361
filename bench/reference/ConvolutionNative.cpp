// The vision and audio kernels, the convolution among them, built for this very processor
// (-march=native) from their own source, in a namespace of their own: the reference the kernels'
// instruction-set builds are compared with. Same code, same inputs, same checksum.

#define KORVALEN_KERNEL_TARGET native
#define KORVALEN_KERNEL_WIDE 1
#include "Execution/CPU/CPUVisionAudioKernels.cpp"
