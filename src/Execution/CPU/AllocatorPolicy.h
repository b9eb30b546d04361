#pragma once

namespace korvalen::AllocatorPolicy {

// Keeps freed blocks of up to `keptBytes` in the allocator instead of returning them to the system.
// Every CPU kernel iteration allocates and zero-fills its buffers again; with glibc's defaults a
// block of a few hundred KB went back to the system when freed (mmap, or a trimmed heap top), so
// every iteration paid page faults on top of its zero-fill. With fixed thresholds the same pages
// are zero-filled again each iteration without faulting. Larger blocks (the 64 MiB tensor
// allocation) are still mapped and released every time.
inline constexpr int keptBytes = 32 * 1024 * 1024;

// Sets the thresholds the first time it is called. The application calls it at start-up and the
// CPU runner before its first iteration, so tools and tests get the same policy. Safe from any thread.
void apply();

}  // namespace korvalen::AllocatorPolicy
