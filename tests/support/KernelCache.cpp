#include "support/KernelCache.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>

namespace korvalen::testing {
namespace {

namespace fs = std::filesystem;

OwnKernelCache* live = nullptr;

fs::path makeFolder(const fs::path& parent, const std::string& prefix)
{
    std::string pattern = (parent / (prefix + std::to_string(::getpid()) + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data()))
        throw fs::filesystem_error("kernel cache folder", pattern, std::error_code(errno, std::generic_category()));
    return pattern;
}

// pocl keeps a program in <first two letters of its hash>/<rest of the hash>/, with program.bc once
// it has built and a folder for each kernel compiled from it. A failed build leaves only its log.
void dropFailedBuilds(const fs::path& cache)
{
    std::error_code error;
    for (const auto& prefix : fs::directory_iterator(cache, error)) {
        if (!prefix.is_directory(error)) continue;
        for (const auto& program : fs::directory_iterator(prefix.path(), error))
            if (program.is_directory(error) && !fs::exists(program.path() / "program.bc", error))
                fs::remove_all(program.path(), error);
    }
}

// Moves each folder below `from` that `to` lacks into place whole, never replacing one, and looks
// inside those that `to` has already.
void moveMissingFolders(const fs::path& from, const fs::path& to)
{
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(from, error)) {
        if (!entry.is_directory(error)) continue;
        const fs::path target = to / entry.path().filename();
        if (::renameat2(AT_FDCWD, entry.path().c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0 &&
            errno == EEXIST)
            moveMissingFolders(entry.path(), target);
    }
}

}  // namespace

OwnKernelCache::OwnKernelCache()
{
    const char* given = std::getenv("POCL_CACHE_DIR");
    const fs::path root = given && *given ? given : KORVALEN_TEST_POCL_CACHE_DIR;
    published_ = root / "published";
    fs::create_directories(published_);
    folder_ = makeFolder(root, "process-");
    ::setenv("POCL_CACHE_DIR", folder_.c_str(), 1);
    live = this;
}

OwnKernelCache::~OwnKernelCache()
{
    live = nullptr;
    dropFailedBuilds(folder_);
    moveMissingFolders(folder_, published_);
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

void OwnKernelCache::takePublished()
{
    std::call_once(tookPublished_, [this] {
        // Copied aside first, so that each program shows in this process's folder complete or not at all.
        const fs::path staging = makeFolder(published_.parent_path(), "staging-");
        std::error_code error;
        fs::copy(published_, staging, fs::copy_options::recursive, error);
        if (!error) moveMissingFolders(staging, folder_);
        fs::remove_all(staging, error);
    });
}

OwnKernelCache* OwnKernelCache::current()
{
    return live;
}

}  // namespace korvalen::testing
