#include "LocalModel/EngineProcessGroup.h"

#include "Platform/System/SystemFiles.h"

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
#include <set>
#include <string>
#include <string_view>

// The engine leads a process group of its own, so that a stop reaches a wrapper's server too, and
// dies with the application (a death signal of SIGKILL). The kernel clears that death signal in
// every process the engine forks, so a small watcher forked beside it turns the application's
// death into SIGKILL for the whole group. Qt runs this in a vfork child, which must exec: the
// watcher is the engine's child, in a group of its own. Everything between the fork and the exec
// (or the watcher's end) is async-signal-safe: the application has threads.

namespace korvalen::EngineProcessGroup {

namespace {

// A stat line "pid (command) state ppid pgrp ...", read from `path` under `folder`: the command may
// hold blanks and parentheses. Only system calls and no allocation: the watcher uses it too.
struct TaskStat {
    char state = '\0';  // '\0' when it could not be read
    pid_t group = 0;
};

TaskStat readStat(int folder, const char* path)
{
    const int fd = ::openat(folder, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    char stat[512];
    const ssize_t length = ::read(fd, stat, sizeof stat);
    ::close(fd);
    if (length <= 0) return {};
    const std::string_view line(stat, static_cast<std::size_t>(length));
    const std::size_t closing = line.rfind(')');
    if (closing == std::string_view::npos || closing + 4 >= line.size()) return {};
    const char* close = stat + closing;
    pid_t parent = 0;
    pid_t group = 0;
    const auto first = std::from_chars(close + 4, stat + length, parent);
    if (first.ec != std::errc{} || first.ptr + 1 >= stat + length) return {};
    if (std::from_chars(first.ptr + 1, stat + length, group).ec != std::errc{}) return {};
    return {close[2], group};
}

// Neither unreadable (gone meanwhile) nor a zombie or dead.
bool isLiving(char state)
{
    return state != '\0' && state != 'Z' && state != 'X';
}

// Calls `visit(number, name)` for each entry of the folder open as `folder` that a number names,
// until it returns false.
template <typename Visit>
void forEachNumbered(int folder, Visit visit)
{
    alignas(dirent64) char entries[4096];
    bool going = true;
    while (going) {
        const long count = ::syscall(SYS_getdents64, folder, entries, sizeof entries);
        if (count <= 0) break;
        for (long offset = 0; going && offset < count;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + offset);
            offset += entry->d_reclen;
            pid_t number = 0;
            const char* name = entry->d_name;
            const auto parsed = std::from_chars(name, name + std::strlen(name), number);
            if (parsed.ec != std::errc{} || *parsed.ptr != '\0' || number <= 0) continue;
            going = visit(number, name);
        }
    }
}

// A living thread of the process `name` (under the folder open as `proc`), 0 when none is left.
pid_t livingTask(int proc, const char* name)
{
    char path[32];
    char* end = std::copy(name, name + std::strlen(name), path);
    std::memcpy(end, "/task", 6);
    const int tasks = ::openat(proc, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tasks < 0) return 0;
    pid_t living = 0;
    forEachNumbered(tasks, [&](pid_t task, const char* taskName) {
        char statPath[32];
        std::memcpy(std::copy(taskName, taskName + std::strlen(taskName), statPath), "/stat", 6);
        if (isLiving(readStat(tasks, statPath).state)) living = task;
        return living == 0;
    });
    ::close(tasks);
    return living;
}

// Calls `visit(pid, pgrp, task)` for each live process until it returns false; `task` is a living
// thread of it, `pid` itself unless its main thread has ended. Zombies are dead, whoever has yet to
// reap them; but a process whose main thread ended while another thread runs on shows its leader as
// a zombie, and lives. Only system calls and no allocation: the watcher uses it too.
template <typename Visit>
void forEachLiveProcess(Visit visit, const char* proc = "/proc")
{
    const int folder = ::open(proc, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return;
    forEachNumbered(folder, [&](pid_t pid, const char* name) {
        char path[32];
        std::memcpy(std::copy(name, name + std::strlen(name), path), "/stat", 6);
        const TaskStat stat = readStat(folder, path);
        if (stat.state == '\0' || stat.state == 'X') return true;
        const pid_t task = stat.state == 'Z' ? livingTask(folder, name) : pid;
        return task == 0 || visit(pid, stat.group, task);
    });
    ::close(folder);
}

}  // namespace

bool hasLiveMember(pid_t group)
{
    if (::kill(-group, 0) != 0 && errno == ESRCH) return false;
    bool found = false;
    forEachLiveProcess([&](pid_t, pid_t pgrp, pid_t) {
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
    forEachLiveProcess([&](pid_t pid, pid_t pgrp, pid_t) {
        if (pgrp == group) members.push_back(pid);
        return true;
    });
    return members;
}

namespace {

// An address as /proc/net/tcp and tcp6 print it: each 32-bit word of the address as it lies in
// memory, in upper-case hex.
std::string kernelAddressText(const unsigned char* bytes, std::size_t size)
{
    std::string text;
    for (std::size_t at = 0; at < size; at += 4) {
        std::uint32_t word = 0;
        std::memcpy(&word, bytes + at, 4);
        char digits[9];
        for (int i = 7; i >= 0; --i, word >>= 4) digits[i] = "0123456789ABCDEF"[word & 0xF];
        text.append(digits, 8);
    }
    return text;
}

std::string portText(std::uint16_t port)
{
    std::string text(4, '0');
    for (int i = 3, value = port; i >= 0; --i, value >>= 4) text[i] = "0123456789ABCDEF"[value & 0xF];
    return text;
}

// What the tables show of a connection to 127.0.0.1:<port>: the socket inode of its server's end
// ("" when there is none or no process holds it) and the listeners bound to 127.0.0.1:<port>
// itself. Which listener a connection reaches cannot be told from the listeners alone (an IPv6
// wildcard may take IPv4 or not), so only the connection's own row says who answered.
struct LoopbackRows {
    std::string serverEnd;
    std::set<std::string> exactListeners;
};

LoopbackRows loopbackRows(std::uint16_t port, std::uint16_t clientPort, const std::filesystem::path& root)
{
    const unsigned char loopback4[4] = {127, 0, 0, 1};
    const unsigned char mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1};
    LoopbackRows rows;
    for (const auto& [table, address] : {std::pair{"proc/net/tcp", kernelAddressText(loopback4, 4)},
                                         std::pair{"proc/net/tcp6", kernelAddressText(mapped, 16)}}) {
        const std::string local = address + ":" + portText(port);
        const std::string remote = address + ":" + portText(clientPort);
        const auto text = sys::readFile(sys::underRoot(root, table), 64 << 20);
        if (!text) continue;
        std::string_view rest = *text;
        rest.remove_prefix(std::min(rest.size(), rest.find('\n') + 1));  // the heading
        while (!rest.empty()) {
            const std::string_view line = rest.substr(0, rest.find('\n'));
            rest.remove_prefix(std::min(rest.size(), line.size() + 1));
            // "sl local rem st tx:rx tr:when retrnsmt uid timeout inode ..."
            std::string_view fields[10];
            std::size_t count = 0;
            for (std::string_view cut = line; count < 10;) {
                const auto start = cut.find_first_not_of(' ');
                if (start == std::string_view::npos) break;
                cut.remove_prefix(start);
                fields[count++] = cut.substr(0, cut.find(' '));
                cut.remove_prefix(fields[count - 1].size());
            }
            if (count < 10 || fields[1] != local || fields[9] == "0") continue;
            if (fields[3] == "0A")
                rows.exactListeners.insert(std::string(fields[9]));
            else if (fields[2] == remote)
                rows.serverEnd = fields[9];
        }
    }
    return rows;
}

}  // namespace

Holder connectionHolder(pid_t group, std::uint16_t port, std::uint16_t clientPort, const std::filesystem::path& root)
{
    LoopbackRows rows = loopbackRows(port, clientPort, root);
    if (rows.serverEnd.empty()) return Holder::nobody;
    if (group <= 1) return Holder::another;  // no group: nothing is ours
    bool held = false;
    const std::filesystem::path proc = sys::underRoot(root, "proc");
    forEachLiveProcess(
        [&](pid_t pid, pid_t pgrp, pid_t task) {
            if (pgrp != group) return true;
            // A process whose main thread ended shows no descriptors but through a living thread.
            std::filesystem::path process = proc / std::to_string(pid);
            if (task != pid) process /= "task/" + std::to_string(task);
            // A process may close a descriptor, or end, while its descriptors are read: what can no
            // longer be read is skipped, not thrown.
            std::error_code listing;
            std::error_code link;
            for (std::filesystem::directory_iterator fd(process / "fd", listing), end; !listing && fd != end;
                 fd.increment(listing)) {
                const std::string target = std::filesystem::read_symlink(fd->path(), link).string();
                if (link || !target.starts_with("socket:[") || !target.ends_with("]")) continue;
                const std::string inode = target.substr(8, target.size() - 9);
                held = held || inode == rows.serverEnd;
                rows.exactListeners.erase(inode);
            }
            return !held || !rows.exactListeners.empty();
        },
        proc.c_str());
    if (held && rows.exactListeners.empty()) return Holder::group;
    // The tables were read before the descriptors: a socket closed in between (a server that
    // closes each connection after its answer, a listener going away) is held by nobody now, not by
    // another program. Only what is still there once the descriptors were read can be another's.
    const LoopbackRows after = loopbackRows(port, clientPort, root);
    if (!held && after.serverEnd != rows.serverEnd) return Holder::nobody;
    const bool foreignListener = std::ranges::any_of(
        rows.exactListeners, [&](const std::string& inode) { return after.exactListeners.contains(inode); });
    return held && !foreignListener ? Holder::group : Holder::another;
}

}  // namespace korvalen::EngineProcessGroup
