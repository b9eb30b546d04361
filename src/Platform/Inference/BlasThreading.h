#pragma once

namespace korvalen::nn {

// How many threads OpenBLAS may use, decided once for the whole process. Every BLAS product the
// application makes is small (a few hundred rows at most) and sits between other single-threaded
// work: there, waking OpenBLAS's pool costs more than it saves, and its threads keep spinning
// afterwards on cores that thread-scaling workers and the OpenCL CPU device need. So every call
// runs on its caller's thread.
namespace BlasThreading {

inline constexpr int threadCount = 1;

// Sets OpenBLAS to `threadCount` threads the first time it is called and never touches it again.
// The application calls it at start-up; the CPU runner and the model runtime call it before their
// first product as well, so tools and tests get the same policy. Safe from any thread.
void applyPolicy();

// The thread count OpenBLAS reports now.
int currentThreadCount();

}  // namespace BlasThreading

}  // namespace korvalen::nn
