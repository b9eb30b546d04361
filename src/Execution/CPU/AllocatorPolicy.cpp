#include "Execution/CPU/AllocatorPolicy.h"

#include <malloc.h>

#include <mutex>

namespace korvalen::AllocatorPolicy {

void apply()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // Fixed values also stop glibc's dynamic threshold, which only rises after the first free.
        mallopt(M_MMAP_THRESHOLD, keptBytes);
        mallopt(M_TRIM_THRESHOLD, keptBytes);
    });
}

}  // namespace korvalen::AllocatorPolicy
