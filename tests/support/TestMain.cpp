#include "support/KernelCache.h"

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

int main(int argc, char** argv)
{
    const korvalen::testing::OwnKernelCache kernelCache;
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
#if defined(__SANITIZE_ADDRESS__)
    // Look for leaks now, while the OpenBLAS and OpenCL worker threads sit idle: at exit the checker
    // stops every thread while static destructors are ending those pools, and its thread stopper can
    // crash on a thread caught exiting. The check runs once; the one at exit is then skipped.
    __lsan_do_leak_check();
#endif
    return result;
}
