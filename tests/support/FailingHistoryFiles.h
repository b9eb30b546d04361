#pragma once

// The history's real file calls, with one or two kinds of call made to fail the way a full disk or
// a failing device makes them fail, which a test running as root cannot otherwise arrange.

#include "State/HistoryFiles.h"

#include <algorithm>
#include <cerrno>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace korvalen::testing {

class FailingHistoryFiles : public HistoryFiles {
public:
    enum class Call { none, create, write, flush, close, rename, link, remove, syncFolder, openToRead };

    Call failing = Call::none;
    int error = EIO;
    // Only calls on a path that contains this (the target of a rename or link; for write, flush
    // and close, the file that create made), or every call of the kind when empty.
    std::string onlyFor;
    // Writes cut short (half of what was asked, down to a single byte) and the first one
    // interrupted, as a signal may do: both are to be retried.
    bool cutWritesShort = false;
    // A second kind of call failing meanwhile, on paths that contain `alsoFor` (every path when
    // empty), only the first `alsoTimes` of them when not negative. Not write, flush or close.
    Call alsoFailing = Call::none;
    std::string alsoFor;
    int alsoTimes = -1;
    // What openToRead opens in place of the file asked for, when set: another file that took the
    // name between the look and the open.
    std::string openInstead;
    // Every call made, in order, and whether it went through.
    std::vector<std::pair<Call, bool>> calls;

    std::size_t made(Call call, bool onlyDone) const
    {
        return std::size_t(std::count_if(calls.begin(), calls.end(), [&](const auto& made) {
            return made.first == call && (made.second || !onlyDone);
        }));
    }

    int openToRead(const char* path) override
    {
        if (!openInstead.empty() && matches(path)) path = openInstead.c_str();
        return note(Call::openToRead, fails(Call::openToRead, path) ? -1 : HistoryFiles::openToRead(path));
    }
    int create(const char* path) override
    {
        const int fd = fails(Call::create, path) ? -1 : HistoryFiles::create(path);
        if (fd >= 0 && matches(path)) matching_.insert(fd);
        return note(Call::create, fd);
    }
    ssize_t write(int fd, const void* data, std::size_t size) override
    {
        if (cutWritesShort && !interrupted_) {
            interrupted_ = true;
            errno = EINTR;
            return note(Call::write, -1);
        }
        if (failsOn(Call::write, fd)) return note(Call::write, -1);
        return note(Call::write, HistoryFiles::write(fd, data, cutWritesShort ? (size + 1) / 2 : size));
    }
    int flush(int fd) override { return note(Call::flush, failsOn(Call::flush, fd) ? -1 : HistoryFiles::flush(fd)); }
    int close(int fd) override
    {
        const bool fail = failsOn(Call::close, fd);
        matching_.erase(fd);
        const int closed = HistoryFiles::close(fd);
        if (fail) errno = error;
        return note(Call::close, fail ? -1 : closed);
    }
    int rename(const char* from, const char* to) override
    {
        return note(Call::rename, fails(Call::rename, to) ? -1 : HistoryFiles::rename(from, to));
    }
    int link(const char* from, const char* to) override
    {
        return note(Call::link, fails(Call::link, to) ? -1 : HistoryFiles::link(from, to));
    }
    int remove(const char* path) override
    {
        return note(Call::remove, fails(Call::remove, path) ? -1 : HistoryFiles::remove(path));
    }
    int syncFolder(const char* path) override
    {
        return note(Call::syncFolder, fails(Call::syncFolder, path) ? -1 : HistoryFiles::syncFolder(path));
    }

private:
    std::set<int> matching_;
    bool interrupted_ = false;

    template <typename Result>
    Result note(Call call, Result result)
    {
        const int saved = errno;
        calls.emplace_back(call, result >= 0);
        errno = saved;
        return result;
    }
    bool matches(const char* path) const
    {
        return onlyFor.empty() || std::string(path).find(onlyFor) != std::string::npos;
    }
    bool fails(Call call, const char* path)
    {
        if (call == failing && matches(path)) {
            errno = error;
            return true;
        }
        if (call != alsoFailing || alsoTimes == 0 || std::string(path).find(alsoFor) == std::string::npos) return false;
        if (alsoTimes > 0) --alsoTimes;
        errno = error;
        return true;
    }
    bool failsOn(Call call, int fd)
    {
        if (call != failing || (!onlyFor.empty() && !matching_.contains(fd))) return false;
        errno = error;
        return true;
    }
};

}  // namespace korvalen::testing
