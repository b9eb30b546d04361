#include "LocalModel/EngineProcessGroup.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <string_view>

// The engine leads a process group of its own, so that a stop reaches a wrapper's server too, and
// dies with the application (a death signal of SIGKILL). The kernel clears that death signal in
// every process the engine forks, so a small watcher forked beside it turns the application's
// death into SIGKILL for the whole group. Qt runs this in a vfork child, which must exec: the
// watcher is the engine's child, in a group of its own. Everything between the fork and the exec
// (or the watcher's end) is async-signal-safe: the application has threads.

namespace korvalen::EngineProcessGroup {

namespace {

// Calls `visit(pid, pgrp)` for each live process (zombies are dead, whoever has yet to reap them)
// until it returns false. Only system calls and no allocation: the watcher uses it too.
template <typename Visit>
void forEachLiveProcess(Visit visit)
{
    const int folder = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return;
    alignas(dirent64) char entries[4096];
    bool going = true;
    while (going) {
        const long count = ::syscall(SYS_getdents64, folder, entries, sizeof entries);
        if (count <= 0) break;
        for (long offset = 0; going && offset < count;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + offset);
            offset += entry->d_reclen;
            pid_t pid = 0;
            const char* name = entry->d_name;
            const auto parsed = std::from_chars(name, name + std::strlen(name), pid);
            if (parsed.ec != std::errc{} || *parsed.ptr != '\0' || pid <= 0) continue;
            char path[32] = "/proc/";
            char* end = std::copy(name, parsed.ptr, path + 6);
            std::memcpy(end, "/stat", 6);
            const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            char stat[512];
            const ssize_t length = ::read(fd, stat, sizeof stat);
            ::close(fd);
            if (length <= 0) continue;
            // "pid (command) state ppid pgrp ...": the command may hold blanks and parentheses.
            const std::string_view line(stat, static_cast<std::size_t>(length));
            const std::size_t closing = line.rfind(')');
            if (closing == std::string_view::npos || closing + 4 >= line.size()) continue;
            const char* close = stat + closing;
            const char state = close[2];
            if (state == 'Z' || state == 'X') continue;
            pid_t parent = 0;
            pid_t group = 0;
            const auto first = std::from_chars(close + 4, stat + length, parent);
            if (first.ec != std::errc{} || first.ptr + 1 >= stat + length) continue;
            if (std::from_chars(first.ptr + 1, stat + length, group).ec != std::errc{}) continue;
            going = visit(pid, group);
        }
    }
    ::close(folder);
}

}  // namespace

bool hasLiveMember(pid_t group)
{
    if (::kill(-group, 0) != 0 && errno == ESRCH) return false;
    bool found = false;
    forEachLiveProcess([&](pid_t, pid_t pgrp) {
        found = pgrp == group;
        return !found;
    });
    return found;
}

namespace {

// The descriptor the watcher keeps: the application's pidfd, readable once the application ended.
constexpr int watchedFD = 3;

[[noreturn]] void watchApplication(int applicationFD, pid_t group)
{
    ::setpgid(0, 0);  // out of the engine's group: its stop is not the watcher's
    // Nothing else of the application's stays open here: Qt's start-up pipe would keep QProcess
    // waiting for an exec that never comes, a socket would keep a port.
    if (::dup2(applicationFD, watchedFD) != watchedFD ||
        ::syscall(SYS_close_range, static_cast<unsigned>(watchedFD) + 1, ~0U, 0U) != 0)
        ::_exit(0);
    while (true) {
        pollfd ready{};
        ready.fd = watchedFD;
        ready.events = POLLIN;
        if (::poll(&ready, 1, 250) > 0) {
            ::kill(-group, SIGKILL);
            ::_exit(0);
        }
        // The engine ended: once it has (the watcher was handed to another parent), wait only for
        // what it left behind in its group.
        if (::getppid() != group && !hasLiveMember(group)) ::_exit(0);
    }
}

}  // namespace

void prepareChild(pid_t application)
{
    if (::setpgid(0, 0) != 0) ::_exit(127);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != application) ::_exit(127);  // died before the death signal was armed
    // Opened while the application is known alive, so it names the application and no successor.
    const int applicationFD = static_cast<int>(::syscall(SYS_pidfd_open, application, 0U));
    // Without pidfd_open (Linux 5.3) or close_range (5.9) there is no watcher: the engine still dies
    // with the application, only what it forks might not.
    if (applicationFD < 0) return;
    const pid_t group = static_cast<pid_t>(::syscall(SYS_getpid));
    // The raw system call: the library's fork would run other libraries' fork handlers here.
    const long watcher = ::syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, nullptr);
    if (watcher == 0) watchApplication(applicationFD, group);
    ::close(applicationFD);
}

std::vector<pid_t> liveMembers(pid_t group)
{
    std::vector<pid_t> members;
    if (group <= 1) return members;
    forEachLiveProcess([&](pid_t pid, pid_t pgrp) {
        if (pgrp == group) members.push_back(pid);
        return true;
    });
    return members;
}

}  // namespace korvalen::EngineProcessGroup
