#include "State/HistoryFiles.h"

#include <cerrno>

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

namespace korvalen {

int HistoryFiles::openToRead(const char* path)
{
    return ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

int HistoryFiles::create(const char* path)
{
    return ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}

ssize_t HistoryFiles::write(int fd, const void* data, std::size_t size)
{
    return ::write(fd, data, size);
}

int HistoryFiles::flush(int fd)
{
    return ::fdatasync(fd);
}

int HistoryFiles::close(int fd)
{
    return ::close(fd);
}

int HistoryFiles::rename(const char* from, const char* to)
{
    return ::rename(from, to);
}

int HistoryFiles::link(const char* from, const char* to)
{
    return ::link(from, to);
}

int HistoryFiles::remove(const char* path)
{
    return ::unlink(path);
}

int HistoryFiles::syncFolder(const char* path)
{
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    const int synced = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    errno = error;
    return synced;
}

}  // namespace korvalen
