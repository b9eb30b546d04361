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
// removed.

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

private:
    std::filesystem::path published_;
    std::filesystem::path folder_;
    std::once_flag tookPublished_;
};

}  // namespace korvalen::testing
