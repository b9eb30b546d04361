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

// A stat line "pid (command) state ppid pgrp ... num_threads ...", read from `path` under `folder`:
// the command may hold blanks and parentheses. Only system calls and no allocation: the watcher
// uses it too.
struct TaskStat {
    char state = '\0';  // '\0' when it could not be read
    pid_t group = 0;
    int threads = -1;  // the process's threads, an ended main thread included; -1 when not shown
    // Neither exiting nor unknown: the task still has its descriptor table. A task lets its table
    // go only after it began to exit (PF_EXITING), a mark that is never taken back.
    bool staying = false;
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
    const auto second = std::from_chars(first.ptr + 1, stat + length, group);
    if (second.ec != std::errc{}) return {};
    // flags and num_threads are the 4th and the 15th fields after pgrp.
    const char* field = second.ptr;
    for (int blanks = 0; field < stat + length && blanks < 4; ++field) blanks += *field == ' ';
    unsigned flags = 0;
    constexpr unsigned exiting = 0x4;  // PF_EXITING
    const bool staying = std::from_chars(field, stat + length, flags).ec == std::errc{} && (flags & exiting) == 0;
    for (int blanks = 4; field < stat + length && blanks < 15; ++field) blanks += *field == ' ';
    int threads = -1;
    std::from_chars(field, stat + length, threads);
    return {close[2], group, threads, staying};
}

// Neither unreadable (gone meanwhile) nor a zombie or dead.
bool isLiving(char state)
{
    return state != '\0' && state != 'Z' && state != 'X';
}

// Calls `visit(number, name)` for each entry of the folder open as `folder` that a number names,
// until it returns false. False when the listing broke off (the folder went meanwhile).
template <typename Visit>
bool forEachNumbered(int folder, Visit visit)
{
    alignas(dirent64) char entries[4096];
    bool going = true;
    while (going) {
        const long count = ::syscall(SYS_getdents64, folder, entries, sizeof entries);
        if (count < 0) return false;
        if (count == 0) break;
        for (long offset = 0; going && offset < count;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + offset);
            offset += entry->d_reclen;
            pid_t number = 0;
            const char* name = entry->d_name;
            const auto parsed = std::from_chars(name, name + std::strlen(name), number);
            if (parsed.ec != std::errc{} || *parsed.ptr != '\0' || number < 0) continue;
            going = visit(number, name);
        }
    }
    return true;
}

// Writes "<number><rest>" to `path`, which has room for it.
void numberedPath(char* path, pid_t number, const char* rest)
{
    char* end = std::to_chars(path, path + 16, number).ptr;
    std::memcpy(end, rest, std::strlen(rest) + 1);
}

// How many times a process whose threads come and go is looked at again: a thread that one look
// picks may end before it is read, while the process lives on in a thread started since.
constexpr int taskLooks = 16;

// A living thread of the process `pid` other than its main one (under the folder open as `proc`), 0
// when none is left, -1 when the process still counts some though every one picked had ended. A
// listing of the threads is no snapshot: one it shows may end before it is read, one started
// meanwhile may be missing. So the newest listed are read first, the likeliest to outlive the look
// where each starts the next and ends, or with `oldestFirst` the oldest, the likeliest where one
// lives on beside threads that come and go; and the threads are listed again while the process
// counts any beside its main.
pid_t livingTask(int proc, pid_t pid, bool oldestFirst = false)
{
    char path[48];
    numberedPath(path, pid, "/task");
    const int tasks = ::openat(proc, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tasks < 0) return 0;
    pid_t living = -1;
    for (int look = 0; living == -1 && look < taskLooks; ++look) {
        numberedPath(path, pid, "/stat");
        const TaskStat process = readStat(proc, path);
        if (process.state == '\0' || process.threads == 1) living = 0;
        if (living == 0 || (look > 0 && ::lseek(tasks, 0, SEEK_SET) != 0)) break;
        constexpr int kept = 16;
        pid_t newest[kept];
        int listed = 0;
        forEachNumbered(tasks, [&](pid_t task, const char*) {
            if (task == pid) return true;
            if (!oldestFirst) {
                newest[listed++ % kept] = task;
                return true;
            }
            numberedPath(path, task, "/stat");
            if (isLiving(readStat(tasks, path).state)) living = task;
            return living == -1;
        });
        for (int at = listed - 1; living == -1 && at >= 0 && at >= listed - kept; --at) {
            numberedPath(path, newest[at % kept], "/stat");
            if (isLiving(readStat(tasks, path).state)) living = newest[at % kept];
        }
    }
    ::close(tasks);
    return living;
}

// Calls `visit(pid, pgrp, task)` for each live process until it returns false; `task` is a living
// thread of it, `pid` itself unless its main thread has ended. Zombies are dead, whoever has yet to
// reap them; but a process whose main thread ended while another thread runs on shows its leader as
// a zombie, and lives. One that still counts threads beside its ended main one, though each picked
// had ended, is visited with a `task` of 0 only when `unsure` asks for it. Only system calls and no
// allocation: the watcher uses it too.
template <typename Visit>
void forEachLiveProcess(Visit visit, const char* proc = "/proc", bool unsure = false)
{
    const int folder = ::open(proc, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return;
    forEachNumbered(folder, [&](pid_t pid, const char* name) {
        char path[32];
        std::memcpy(std::copy(name, name + std::strlen(name), path), "/stat", 6);
        const TaskStat stat = readStat(folder, path);
        if (stat.state == '\0' || stat.state == 'X') return true;
        const pid_t task = stat.state == 'Z' ? livingTask(folder, pid) : pid;
        if (task > 0) return visit(pid, stat.group, task);
        return task == 0 || !unsure || visit(pid, stat.group, pid_t{0});
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
    bool unread = false;  // a member whose descriptors no look read whole
    const std::filesystem::path proc = sys::underRoot(root, "proc");
    const int procFolder = ::open(proc.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    forEachLiveProcess(
        [&](pid_t pid, pid_t pgrp, pid_t task) {
            if (pgrp != group) return true;
            // Every thread shares the process's descriptors; one whose main thread ended shows them
            // only through a living thread. A listing through a thread that ends meanwhile breaks
            // off or stops short without an error, and its links become unreadable: a look is whole
            // only when its thread still had the descriptors once they were read. A descriptor
            // closed meanwhile is no longer there to hold anything, and is skipped.
            bool whole = false;
            for (int look = 0; !whole && task > 0 && look < taskLooks; ++look) {
                std::string folder = std::to_string(pid);
                if (task != pid) folder += "/task/" + std::to_string(task);
                // Opened once, so that the fd/ and stat read below are of this very thread.
                const int thread = ::openat(procFolder, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                const int fds = ::openat(thread, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                std::vector<std::string> names;
                whole = fds >= 0 && forEachNumbered(fds, [&](pid_t, const char* name) {
                            names.emplace_back(name);
                            return true;
                        });
                // An ended main thread shows an empty folder: no process of the group runs without
                // descriptors.
                whole = whole && !names.empty();
                for (const std::string& name : names) {
                    char target[64];
                    const ssize_t length = ::readlinkat(fds, name.c_str(), target, sizeof target);
                    if (length < 0) continue;
                    const std::string_view link(target, static_cast<std::size_t>(length));
                    if (!link.starts_with("socket:[") || !link.ends_with("]")) continue;
                    const std::string inode(link.substr(8, link.size() - 9));
                    held = held || inode == rows.serverEnd;
                    rows.exactListeners.erase(inode);
                }
                if (fds >= 0) ::close(fds);
                whole = whole && readStat(thread, "stat").staying;
                if (thread >= 0) ::close(thread);
                // Through another living thread: the newest and the oldest in turn.
                if (!whole) task = livingTask(procFolder, pid, look % 2 == 0);
            }
            unread = unread || !whole;
            return !held || !rows.exactListeners.empty();
        },
        proc.c_str(), true);
    if (procFolder >= 0) ::close(procFolder);
    if (held && rows.exactListeners.empty()) return Holder::group;
    // Without every member's descriptors, a socket not found among them may still be the group's.
    if (unread) return Holder::nobody;
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
