#pragma once

#include <sys/types.h>

#include <cstddef>

namespace korvalen {

// The calls through which the history reads and changes its folder. The application uses these,
// the real system calls; a test puts a double in their place to make one of them fail as a full
// disk, a failing device or a denied permission would, which cannot be arranged for a process that
// runs as root. Each returns what its system call returns, with errno set on failure.
class HistoryFiles {
public:
    virtual ~HistoryFiles() = default;

    // An existing file, for reading only; never waits for a FIFO's writer.
    virtual int openToRead(const char* path);

    // A new file, for writing only; never one that exists.
    virtual int create(const char* path);
    virtual ssize_t write(int fd, const void* data, std::size_t size);
    // The file's data on disk.
    virtual int flush(int fd);
    virtual int close(int fd);
    virtual int rename(const char* from, const char* to);
    virtual int link(const char* from, const char* to);
    virtual int remove(const char* path);
    // The folder's entries on disk: what makes a rename last.
    virtual int syncFolder(const char* path);
};

}  // namespace korvalen
