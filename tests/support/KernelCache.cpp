#include "support/KernelCache.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
// Everything else (failed builds, a staging copy, pocl's uncached builds) is removed.
void keepBuiltPrograms(const fs::path& cache)
{
    std::error_code error, ignored;
    for (fs::directory_iterator prefix(cache, error), end; !error && prefix != end; prefix.increment(error)) {
        if (!prefix->is_directory(ignored)) continue;  // files go with the folder
        if (prefix->path().filename().native().size() != 2) {
            fs::remove_all(prefix->path(), ignored);
            continue;
        }
        for (fs::directory_iterator program(prefix->path(), ignored); program != end; program.increment(ignored)) {
            if (program->is_directory(ignored) && !fs::exists(program->path() / "program.bc", ignored))
                fs::remove_all(program->path(), ignored);
        }
    }
}

// Moves each folder below `from` that `to` lacks into place whole, never replacing one, and looks
// inside those that `to` has already.
void moveMissingFolders(const fs::path& from, const fs::path& to)
{
    std::error_code error, ignored;
    for (fs::directory_iterator entry(from, error), end; !error && entry != end; entry.increment(error)) {
        if (!entry->is_directory(ignored)) continue;
        const fs::path target = to / entry->path().filename();
        if (::renameat2(AT_FDCWD, entry->path().c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0 &&
            errno == EEXIST)
            moveMissingFolders(entry->path(), target);
    }
}

// What a process does with its folder on its way out: adds its programs to published/ and removes
// the rest.
void handOn(const fs::path& folder, const fs::path& published)
{
    keepBuiltPrograms(folder);
    moveMissingFolders(folder, published);
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

// Does it for the processes that ended without doing it themselves: killed ones, and those that end
// by _exit or exit() as death tests' processes do. Each process holds a lock on its folder for as
// long as it lives (and so do children forked from it), and the kernel drops it however it ends.
void handOnEnded(const fs::path& root, const fs::path& published)
{
    std::error_code error;
    for (fs::directory_iterator entry(root, error), end; !error && entry != end; entry.increment(error)) {
        if (entry->path().filename().native().rfind("process-", 0) != 0) continue;
        const int folder = ::open(entry->path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder < 0) continue;
        if (::flock(folder, LOCK_EX | LOCK_NB) == 0) handOn(entry->path(), published);
        ::close(folder);
    }
}

}  // namespace

OwnKernelCache::OwnKernelCache()
{
    // A test process started by another inherits a POCL_CACHE_DIR that names the other's own folder.
    const char* inherited = std::getenv(rootVariable);
    const char* given = std::getenv("POCL_CACHE_DIR");
    const fs::path root = inherited && *inherited ? inherited : given && *given ? given : KORVALEN_TEST_POCL_CACHE_DIR;
    published_ = root / "published";
    fs::create_directories(published_);
    handOnEnded(root, published_);

    // Locked before it takes its name, so that no one finds it unlocked and takes it for an ended
    // process's.
    const fs::path starting = makeFolder(root, "starting-");
    lock_ = ::open(starting.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock_ < 0 || ::flock(lock_, LOCK_EX) != 0)
        throw fs::filesystem_error("kernel cache lock", starting, std::error_code(errno, std::generic_category()));
    folder_ = root / ("process-" + starting.filename().string().substr(std::strlen("starting-")));
    if (::renameat2(AT_FDCWD, starting.c_str(), AT_FDCWD, folder_.c_str(), RENAME_NOREPLACE) != 0)
        throw fs::filesystem_error("kernel cache folder", folder_, std::error_code(errno, std::generic_category()));
    ::setenv(rootVariable, root.c_str(), 1);
    ::setenv("POCL_CACHE_DIR", folder_.c_str(), 1);
    live = this;
}

OwnKernelCache::~OwnKernelCache()
{
    live = nullptr;
    handOn(folder_, published_);
    ::close(lock_);
    handOnEnded(folder_.parent_path(), published_);
}

void OwnKernelCache::takePublished()
{
    std::call_once(tookPublished_, [this] {
        // Copied aside first, so that each program shows in this process's folder complete or not at all.
        const fs::path staging = makeFolder(folder_, "staging-");
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
