#include "Model/KorvalenAILogger.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>

namespace korvalen::KorvalenAILogger {

namespace {

enum class Level { info, runtime, warning, error };

struct LevelTraits {
    std::string_view tag;
    std::string_view category;
    SystemLogType type;
};

LevelTraits traits(Level level)
{
    switch (level) {
    case Level::info: return {"INFO", "Benchmark", SystemLogType::defaultType};
    case Level::runtime: return {"RUNTIME", "Runtime", SystemLogType::info};
    case Level::warning: return {"WARN", "Runtime", SystemLogType::error};
    case Level::error: return {"ERROR", "Runtime", SystemLogType::error};
    }
    return {"INFO", "Benchmark", SystemLogType::defaultType};
}

// ---- system log ----

std::mutex& sinkLock()
{
    static auto* lock = new std::mutex;  // never destroyed: threads may log during exit
    return *lock;
}
std::shared_ptr<const SystemLogSink>& systemLogSink()
{
    static auto* sink = new std::shared_ptr<const SystemLogSink>;
    return *sink;
}

int syslogPriority(SystemLogType type)
{
    switch (type) {
    case SystemLogType::defaultType: return LOG_NOTICE;
    case SystemLogType::info: return LOG_INFO;
    case SystemLogType::error: return LOG_ERR;
    }
    return LOG_NOTICE;
}

// The system log is reached through the logger's own datagram socket, never through syslog(3):
// glibc's socket blocks, so a stalled log daemon would stall every caller. A datagram the daemon
// has no room for is dropped, as a line standard error has no room for is.
struct SystemLogSocket {
    std::mutex lock;
    std::string path = "/dev/log";
    int fd = -1;
    std::chrono::steady_clock::time_point nextAttempt{};
};

SystemLogSocket& systemLogSocket()
{
    static auto* socket = new SystemLogSocket;  // never destroyed: threads may log during exit
    return *socket;
}

// Connects when not connected; a failed attempt is not repeated for a second.
bool connectSystemLog(SystemLogSocket& s)
{
    if (s.fd >= 0) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < s.nextAttempt) return false;
    s.nextAttempt = now + std::chrono::seconds(1);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (s.path.empty() || s.path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, s.path.data(), s.path.size());
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return false;
    }
    s.fd = fd;
    return true;
}

// "<priority>Mmm dd hh:mm:ss tag[pid]: [category] message", as syslog(3) writes it.
std::string systemLogDatagram(int priority, const SystemLogEntry& entry)
{
    char stamp[32] = "";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&now, &local)) std::strftime(stamp, sizeof stamp, "%b %e %T", &local);
    char number[16];
    std::string datagram = "<";
    datagram.append(number, std::to_chars(number, number + sizeof number, LOG_USER | priority).ptr);
    datagram += ">";
    datagram += stamp;
    datagram += " ";
    datagram += subsystem;
    datagram += "[";
    datagram.append(number, std::to_chars(number, number + sizeof number, ::getpid()).ptr);
    datagram += "]: [";
    datagram += entry.category;
    datagram += "] ";
    datagram += entry.message;
    return datagram;
}

void writeSyslog(const SystemLogEntry& entry)
{
    const int priority = syslogPriority(entry.type);
    if ((::setlogmask(0) & LOG_MASK(priority)) == 0) return;  // type not enabled: nothing sent
    const std::string datagram = systemLogDatagram(priority, entry);
    SystemLogSocket& s = systemLogSocket();
    std::lock_guard guard(s.lock);
    if (!connectSystemLog(s)) return;
    ssize_t sent;
    do {
        sent = ::send(s.fd, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    // The daemon went away or restarted: connect again for the next entry. No room: dropped.
    if (sent < 0 && (errno == ECONNREFUSED || errno == ENOTCONN || errno == EBADF)) {
        ::close(s.fd);
        s.fd = -1;
        s.nextAttempt = {};
    }
}

void systemLog(const SystemLogEntry& entry)
{
    std::shared_ptr<const SystemLogSink> sink;
    {
        std::lock_guard guard(sinkLock());
        sink = systemLogSink();
    }
    if (sink && *sink) {
        (*sink)(entry);
    } else {
        writeSyslog(entry);
    }
}

// ---- standard-error line ----

std::mutex& outputLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}
int outputFd = STDERR_FILENO;  // guarded by outputLock()
bool outputMidLine = false;    // a line was cut short: the next one starts with a line feed

// Blocks SIGPIPE on this thread around a write and swallows the one the write raises, so a closed
// reader costs an EPIPE and not the process. The process's own disposition is left alone.
class SigpipeGuard {
public:
    SigpipeGuard()
    {
        sigemptyset(&pipeSet_);
        sigaddset(&pipeSet_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSet_, &previous_);
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        alreadyPending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    void wroteWithError(int error)
    {
        if (error != EPIPE || alreadyPending_) return;
        const timespec zero{0, 0};
        while (sigtimedwait(&pipeSet_, nullptr, &zero) == -1 && errno == EINTR) {}
    }
    ~SigpipeGuard() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t pipeSet_;
    sigset_t previous_;
    bool alreadyPending_ = false;
};

enum class Channel { socket, nonBlocking, pollFirst, plain };

std::atomic<long long> stallLimitMS{KorvalenAILogger::WriteLimits{}.stall.count()};
std::atomic<long long> budgetMS{KorvalenAILogger::WriteLimits{}.budget.count()};

// Waits for room to finish a line already begun: at most the stall limit without progress, and at
// most the budget over the whole line, so a slow reader delays the caller briefly and a stalled one
// not at all beyond that.
class RoomWaiter {
public:
    bool wait(int fd)
    {
        using namespace std::chrono;
        const auto now = steady_clock::now();
        const milliseconds stallLimit{stallLimitMS.load()};
        if (!deadline_) deadline_ = now + milliseconds{budgetMS.load()};
        const auto left = duration_cast<milliseconds>(*deadline_ - now);
        if (left.count() <= 0) return false;
        pollfd ready{fd, POLLOUT, 0};
        const int timeout = static_cast<int>(std::min(left, stallLimit).count());
        if (::poll(&ready, 1, timeout) <= 0) return false;
        return (ready.revents & POLLOUT) != 0 && (ready.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
    }

private:
    std::optional<std::chrono::steady_clock::time_point> deadline_;
};

bool hasRoomNow(int fd)
{
    pollfd ready{fd, POLLOUT, 0};
    if (::poll(&ready, 1, 0) <= 0) return false;
    return (ready.revents & POLLOUT) != 0 && (ready.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
}

// Writes as much of `data` as the descriptor takes without blocking and returns the count.
// A line that finds no room is dropped whole; one cut short by a slow reader waits briefly for the
// rest, so long lines are not torn needlessly.
std::size_t writeAvailable(int fd, std::string_view data, Channel channel)
{
    constexpr int maxInterrupts = 8;
    std::size_t written = 0;
    int interrupts = 0;
    RoomWaiter waiter;
    std::optional<SigpipeGuard> sigpipe;
    if (channel != Channel::socket) sigpipe.emplace();
    while (written < data.size()) {
        std::size_t chunk = data.size() - written;
        if (channel == Channel::pollFirst) {
            // A blocking descriptor we could not reopen: write only what poll promises room for.
            if (!(written == 0 ? hasRoomNow(fd) : waiter.wait(fd))) break;
            chunk = std::min<std::size_t>(chunk, PIPE_BUF);
        }
        ssize_t count;
        if (channel == Channel::socket) {
            count = ::send(fd, data.data() + written, chunk, MSG_DONTWAIT | MSG_NOSIGNAL);
        } else {
            count = ::write(fd, data.data() + written, chunk);
        }
        if (count > 0) {
            written += static_cast<std::size_t>(count);
            continue;
        }
        const int error = count < 0 ? errno : 0;
        if (error == EINTR && ++interrupts <= maxInterrupts) continue;
        if ((error == EAGAIN || error == EWOULDBLOCK) && written > 0 && waiter.wait(fd)) continue;
        if (sigpipe) sigpipe->wroteWithError(error);
        break;  // no room, closed reader, bad descriptor, full disk: the rest is dropped
    }
    return written;
}

// Pipes and terminals may block a write indefinitely. Setting O_NONBLOCK on the descriptor itself
// would change it for every process sharing it (the shell's terminal included), so the line goes
// through a private non-blocking opening of the same pipe or terminal instead.
std::size_t writeToSink(int fd, std::string_view data)
{
    struct stat status {};
    if (::fstat(fd, &status) != 0) return 0;  // closed
    if (S_ISSOCK(status.st_mode)) return writeAvailable(fd, data, Channel::socket);
    const bool mayBlock = S_ISFIFO(status.st_mode) || (S_ISCHR(status.st_mode) && ::isatty(fd) == 1);
    if (!mayBlock) return writeAvailable(fd, data, Channel::plain);

    char path[40];
    const auto end = std::to_chars(path, path + sizeof path - 1, fd).ptr;
    std::string procPath = "/proc/self/fd/" + std::string(path, end);
    int own;
    do {
        own = ::open(procPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (own < 0 && errno == EINTR);
    if (own < 0) {
        if (errno == ENXIO || errno == EIO) return 0;         // pipe without reader, hung-up terminal
        return writeAvailable(fd, data, Channel::pollFirst);  // no /proc: poll before each chunk
    }
    const std::size_t written = writeAvailable(own, data, Channel::nonBlocking);
    ::close(own);
    return written;
}

double secondsSince1970()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void logMessage(Level level, std::string_view message) noexcept
{
    try {
        const LevelTraits t = traits(level);
        systemLog(SystemLogEntry{t.category, t.type, message});

        // The time stamp is taken before the lock; lines may land slightly out of time order.
        std::string line = standardErrorLine(secondsSince1970(), t.tag, message);
        std::lock_guard guard(outputLock());
        if (outputMidLine) line.insert(line.begin(), '\n');
        const std::size_t written = writeToSink(outputFd, line);
        if (written == line.size()) {
            outputMidLine = false;
        } else if (written > 0) {
            outputMidLine = true;
        }
    } catch (...) {
        // Logging reports nothing to its caller, not even a failed allocation.
    }
}

}  // namespace

std::string standardErrorLine(double secondsSince1970, std::string_view level, std::string_view message)
{
    // Room for any finite double in fixed notation; the clock never comes near that.
    char stamp[400];
    auto result = std::to_chars(stamp, stamp + sizeof stamp, secondsSince1970, std::chars_format::fixed, 3);
    if (result.ec != std::errc{}) result = std::to_chars(stamp, stamp + sizeof stamp, 0.0, std::chars_format::fixed, 3);
    std::string line;
    line.reserve(static_cast<std::size_t>(result.ptr - stamp) + level.size() + message.size() + 20);
    line.append(stamp, result.ptr);
    line.append(" [KorvalenAI] [");
    line.append(level);
    line.append("] ");
    line.append(message);
    line.push_back('\n');
    return line;
}

void claimStandardDescriptors() noexcept
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened < 0) return;
        if (opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

void info(std::string_view message) noexcept
{
    logMessage(Level::info, message);
}
void runtime(std::string_view message) noexcept
{
    logMessage(Level::runtime, message);
}
void warning(std::string_view message) noexcept
{
    logMessage(Level::warning, message);
}
void error(std::string_view message) noexcept
{
    logMessage(Level::error, message);
}

void setSystemLogSink(SystemLogSink sink)
{
    auto shared = sink ? std::make_shared<const SystemLogSink>(std::move(sink)) : nullptr;
    std::lock_guard guard(sinkLock());
    systemLogSink() = std::move(shared);
}

std::string setSystemLogPath(std::string path)
{
    SystemLogSocket& s = systemLogSocket();
    std::lock_guard guard(s.lock);
    if (s.fd >= 0) ::close(s.fd);
    s.fd = -1;
    s.nextAttempt = {};
    std::swap(s.path, path);
    return path;
}

int setOutputFileDescriptor(int fd)
{
    std::lock_guard guard(outputLock());
    const int previous = outputFd;
    outputFd = fd;
    outputMidLine = false;
    return previous;
}

WriteLimits setWriteLimits(WriteLimits limits)
{
    const WriteLimits previous{std::chrono::milliseconds{stallLimitMS.exchange(limits.stall.count())},
                               std::chrono::milliseconds{budgetMS.exchange(limits.budget.count())}};
    return previous;
}

}  // namespace korvalen::KorvalenAILogger
