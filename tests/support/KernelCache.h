#pragma once

// pocl's kernel cache cannot be shared by processes that build the same program at the same moment:
// one rewrites an entry by removing it before renaming its own copy in place, and another that has
// just found the entry aborts. CTest starts many test processes at once, so each one builds into a
// folder of its own below the one it was given (POCL_CACHE_DIR), removed when the process ends.
//
// Builds stay warm all the same through published/ beside those folders: a process that is about to
// use the GPU takes in the programs earlier processes left there, and on its way out every process
// adds the programs and kernels it built that are not there yet. Folders only ever move into place
// whole and never replace one, in either direction, so nothing anyone may be reading is changed or
// removed. A process that ends without doing so (killed, or ended as death tests end) has it done
// for it by the next process that starts or ends: each one holds a lock on its folder while it lives.

#include <filesystem>
#include <mutex>

namespace korvalen::testing {

class OwnKernelCache {
public:
    // Makes this process's folder and points POCL_CACHE_DIR at it: before anything uses OpenCL.
    OwnKernelCache();
    ~OwnKernelCache();
    OwnKernelCache(const OwnKernelCache&) = delete;
    OwnKernelCache& operator=(const OwnKernelCache&) = delete;

    // Takes in the published programs this process does not have yet (the first call only; safe at
    // any moment). Cheap enough for a GPU test, too dear for every test process.
    void takePublished();

    // The live instance, or nullptr.
    static OwnKernelCache* current();

    // Names, for the test processes this one starts, the folder that holds published/ and every
    // process's folder: the POCL_CACHE_DIR they inherit names this process's own.
    static constexpr const char* rootVariable = "KORVALEN_TEST_KERNEL_CACHE_ROOT";

private:
    std::filesystem::path published_;
    std::filesystem::path folder_;
    int lock_ = -1;  // held on folder_ for this process's life
    std::once_flag tookPublished_;
};

}  // namespace korvalen::testing
