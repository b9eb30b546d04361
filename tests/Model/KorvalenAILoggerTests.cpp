#include "Model/KorvalenAILogger.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace korvalen;
namespace Logger = korvalen::KorvalenAILogger;

namespace {

struct CapturedEntry {
    std::string category;
    Logger::SystemLogType type;
    std::string message;
};

std::string readAll(int fd)
{
    std::string text;
    char buffer[65536];
    ::lseek(fd, 0, SEEK_SET);
    ssize_t count;
    while ((count = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(count));
    return text;
}

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            lines.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    EXPECT_EQ(start, text.size()) << "the output ends in the middle of a line";
    return lines;
}

struct ParsedLine {
    double seconds;
    std::string level;
    std::string message;
};

// By hand rather than with std::regex, whose recursion overflows the stack on long lines.
std::optional<ParsedLine> parse(const std::string& line)
{
    const std::size_t point = line.find('.');
    if (point == std::string::npos || point == 0 || line.size() < point + 4) return std::nullopt;
    for (std::size_t i = 0; i < point + 4; ++i) {
        if (i != point && !std::isdigit(static_cast<unsigned char>(line[i]))) return std::nullopt;
    }
    const std::string prefix = " [KorvalenAI] [";
    if (line.compare(point + 4, prefix.size(), prefix) != 0) return std::nullopt;
    const std::size_t levelStart = point + 4 + prefix.size();
    const std::size_t levelEnd = line.find("] ", levelStart);
    if (levelEnd == std::string::npos) return std::nullopt;
    ParsedLine parsed{std::stod(line.substr(0, point + 4)), line.substr(levelStart, levelEnd - levelStart),
                      line.substr(levelEnd + 2)};
    static const std::set<std::string> levels{"INFO", "RUNTIME", "WARN", "ERROR"};
    if (!levels.count(parsed.level)) return std::nullopt;
    return parsed;
}

// Everything the pipe holds right now; the read end is made non-blocking.
std::string drain(int fd)
{
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    std::string text;
    char buffer[65536];
    ssize_t count;
    while ((count = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(count));
    return text;
}

// A logging call that must come back by itself; if it hangs on the pipe, the pipe is drained so
// the test can end, and the hang is reported.
void expectReturnsWithoutReader(std::future<void>& call, int readFd)
{
    if (call.wait_for(std::chrono::seconds(10)) == std::future_status::ready) return;
    while (call.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) drain(readFd);
    ADD_FAILURE() << "logging blocked on a pipe nobody reads";
}

double nowSeconds()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Routes the logger's output into a descriptor of the test and captures system-log entries.
class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Logger::setSystemLogSink([this](const Logger::SystemLogEntry& entry) {
            std::lock_guard guard(entriesLock);
            entries.push_back({std::string(entry.category), entry.type, std::string(entry.message)});
        });
    }
    void TearDown() override
    {
        Logger::setOutputFileDescriptor(STDERR_FILENO);
        Logger::setSystemLogSink({});
    }

    // Read end and write end, closed by the fixture.
    std::pair<int, int> pipe()
    {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        owned.push_back(fds[0]);
        owned.push_back(fds[1]);
        return {fds[0], fds[1]};
    }

    int memoryFile()
    {
        const int fd = ::memfd_create("logger-test", MFD_CLOEXEC);
        EXPECT_GE(fd, 0);
        owned.push_back(fd);
        return fd;
    }
    ~LoggerTest() override
    {
        for (int fd : owned)
            if (fd >= 0) ::close(fd);
    }

    std::mutex entriesLock;
    std::vector<CapturedEntry> entries;
    std::vector<int> owned;
};

}  // namespace

TEST_F(LoggerTest, EachLevelWritesItsTagAndReachesItsCategoryAndType)
{
    Logger::setOutputFileDescriptor(memoryFile());
    const double before = nowSeconds();
    Logger::info("APP_LAUNCH_COMPLETE");
    Logger::runtime("CONTEXT_READY gpu=7");
    Logger::warning("METAL_COMMAND_TIMEOUT label=gemm");
    Logger::error("FAILED reason=a | b");
    const double after = nowSeconds();

    const auto lines = splitLines(readAll(owned.back()));
    ASSERT_EQ(lines.size(), 4u);
    const std::pair<const char*, const char*> expected[] = {{"INFO", "APP_LAUNCH_COMPLETE"},
                                                            {"RUNTIME", "CONTEXT_READY gpu=7"},
                                                            {"WARN", "METAL_COMMAND_TIMEOUT label=gemm"},
                                                            {"ERROR", "FAILED reason=a | b"}};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto parsed = parse(lines[i]);
        ASSERT_TRUE(parsed) << lines[i];
        EXPECT_EQ(parsed->level, expected[i].first);
        EXPECT_EQ(parsed->message, expected[i].second);
        EXPECT_GE(parsed->seconds, before - 0.001);
        EXPECT_LE(parsed->seconds, after + 0.001);
    }

    using Type = Logger::SystemLogType;
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].category, "Benchmark");
    EXPECT_EQ(entries[0].type, Type::defaultType);
    EXPECT_EQ(entries[1].category, "Runtime");
    EXPECT_EQ(entries[1].type, Type::info);
    EXPECT_EQ(entries[2].category, "Runtime");
    EXPECT_EQ(entries[2].type, Type::error);
    EXPECT_EQ(entries[3].category, "Runtime");
    EXPECT_EQ(entries[3].type, Type::error);
    EXPECT_EQ(entries[2].message, "METAL_COMMAND_TIMEOUT label=gemm");
}

TEST_F(LoggerTest, EmptyAndMultiLineMessagesAreWrittenUnchanged)
{
    Logger::setOutputFileDescriptor(memoryFile());
    Logger::info("");
    Logger::runtime("first\nsecond\n");
    const std::string text = readAll(owned.back());
    const std::regex pattern(
        R"(^\d+\.\d{3} \[KorvalenAI\] \[INFO\] \n\d+\.\d{3} \[KorvalenAI\] \[RUNTIME\] first\nsecond\n\n$)");
    EXPECT_TRUE(std::regex_match(text, pattern)) << text;
}

TEST(LoggerLine, TimeStampHasThreeDecimalsWithoutGrouping)
{
    EXPECT_EQ(Logger::standardErrorLine(1700000000.5, "WARN", "X"), "1700000000.500 [KorvalenAI] [WARN] X\n");
    EXPECT_EQ(Logger::standardErrorLine(1234.9996, "INFO", ""), "1235.000 [KorvalenAI] [INFO] \n");
    EXPECT_EQ(Logger::standardErrorLine(0.0, "ERROR", "×"), "0.000 [KorvalenAI] [ERROR] ×\n");
}

TEST_F(LoggerTest, LinesFromManyThreadsNeverInterleave)
{
    const auto [readFd, writeFd] = pipe();
    // Room for everything, so no line is dropped for want of a reader.
    ASSERT_GE(::fcntl(writeFd, F_SETPIPE_SZ, 1 << 20), 1 << 19);
    Logger::setOutputFileDescriptor(writeFd);

    constexpr int threads = 8, perThread = 150;
    const auto payload = [](int t, int i) {
        // Lengths vary so a cut or mixed line shows as a broken payload.
        return std::string(static_cast<std::size_t>(10 + (i * 37) % 300), static_cast<char>('a' + t));
    };
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t, &payload] {
            for (int i = 0; i < perThread; ++i)
                Logger::runtime("EVENT thread=" + std::to_string(t) + " seq=" + std::to_string(i) +
                                " data=" + payload(t, i));
        });
    }
    for (auto& worker : workers) worker.join();

    const auto lines = splitLines(drain(readFd));
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(threads * perThread));
    std::map<int, int> nextSeq;
    const std::regex body(R"(^EVENT thread=(\d) seq=(\d+) data=([a-z]+)$)");
    for (const auto& line : lines) {
        const auto parsed = parse(line);
        ASSERT_TRUE(parsed) << line;
        std::smatch match;
        ASSERT_TRUE(std::regex_match(parsed->message, match, body)) << line;
        const int t = std::stoi(match[1]), i = std::stoi(match[2]);
        EXPECT_EQ(match[3].str(), payload(t, i));
        EXPECT_EQ(nextSeq[t]++, i) << "lines of one thread out of order";
    }
}

TEST_F(LoggerTest, LineLongerThanThePipeArrivesWholeWhileTheReaderDrains)
{
    auto [readFd, writeFd] = pipe();
    Logger::setOutputFileDescriptor(writeFd);
    // A reader that drains is never given up on, however loaded the machine: only a stall is.
    const Logger::WriteLimits previous = Logger::setWriteLimits({std::chrono::seconds(30), std::chrono::seconds(60)});
    auto reader = std::async(std::launch::async, [fd = readFd] {
        std::string text;
        char buffer[8192];
        ssize_t count;
        // A reader descheduled for a while, as under load: longer than the default stall limit.
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        while ((count = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(count));
        return text;
    });
    const std::string message(300000, 'q');
    Logger::warning(message);
    Logger::warning("AFTER");
    Logger::setWriteLimits(previous);
    Logger::setOutputFileDescriptor(STDERR_FILENO);
    ::close(writeFd);
    owned.back() = -1;

    const auto lines = splitLines(reader.get());
    ASSERT_EQ(lines.size(), 2u);
    const auto first = parse(lines[0]);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->message.size(), message.size());
    EXPECT_TRUE(first->message == message);  // not EXPECT_EQ: a failure would print 300 kB
    EXPECT_EQ(parse(lines[1])->message, "AFTER");
}

TEST_F(LoggerTest, FullPipeDropsTheLineWholeInsteadOfBlocking)
{
    const auto [readFd, writeFd] = pipe();
    // Filled through a non-blocking flag; the logger then gets the blocking descriptor.
    ::fcntl(writeFd, F_SETFL, O_NONBLOCK);
    const std::string filler(4096, '\n');
    while (::write(writeFd, filler.data(), filler.size()) > 0) {}
    ::fcntl(writeFd, F_SETFL, 0);
    Logger::setOutputFileDescriptor(writeFd);

    auto logged = std::async(std::launch::async, [] { Logger::error("DROPPED"); });
    expectReturnsWithoutReader(logged, readFd);
    const std::string before = drain(readFd);
    EXPECT_EQ(before.find_first_not_of('\n'), std::string::npos) << "no part of the dropped line";
    Logger::error("KEPT");
    const auto lines = splitLines(drain(readFd));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(parse(lines[0])->message, "KEPT");
}

TEST_F(LoggerTest, StalledReaderCutsALongLineAndTheNextLineStartsFresh)
{
    const auto [readFd, writeFd] = pipe();
    Logger::setOutputFileDescriptor(writeFd);
    const auto capacity = static_cast<std::size_t>(::fcntl(writeFd, F_GETPIPE_SZ));

    // Nobody reads: the line fills the pipe, waits its short grace period and gives up.
    auto logged = std::async(std::launch::async, [capacity] { Logger::error(std::string(capacity * 2, 'z')); });
    expectReturnsWithoutReader(logged, readFd);
    const std::string cut = drain(readFd);
    EXPECT_EQ(cut.size(), capacity);
    EXPECT_NE(cut.back(), '\n');

    Logger::info("NEXT");
    const std::string text = drain(readFd);
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.front(), '\n') << "the cut line must be ended before the next one";
    const auto next = parse(text.substr(1, text.size() - 2));
    ASSERT_TRUE(next) << text;
    EXPECT_EQ(next->message, "NEXT");
}

TEST_F(LoggerTest, ClosedReaderOrDescriptorIsIgnoredSilently)
{
    const auto [readFd, writeFd] = pipe();
    ::close(readFd);
    owned.front() = -1;
    Logger::setOutputFileDescriptor(writeFd);
    Logger::error("NOBODY_READS");  // an unhandled SIGPIPE would end the test program here

    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE)) << "the swallowed SIGPIPE must not stay pending";

    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    ::close(pair[1]);
    owned.push_back(pair[0]);
    Logger::setOutputFileDescriptor(pair[0]);
    Logger::error("PEER_GONE");

    int closedFd = ::dup(writeFd);
    ::close(closedFd);
    Logger::setOutputFileDescriptor(closedFd);
    Logger::error("CLOSED");
    EXPECT_EQ(entries.size(), 3u) << "the system log still receives every message";
}

TEST(LoggerDeathTest, ClosedStandardErrorDoesNotStopTheProgram)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Logger::setSystemLogSink([](const Logger::SystemLogEntry&) {});
            int fds[2];
            if (::pipe(fds) != 0) std::_Exit(2);  // made while fd 2 is taken, so it gets other numbers
            ::close(STDERR_FILENO);
            Logger::error("AFTER_CLOSE");
            if (::dup2(fds[1], STDERR_FILENO) < 0) std::_Exit(3);
            ::close(fds[0]);
            ::close(fds[1]);
            Logger::error("READER_GONE");
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// A log daemon on a datagram socket of our own: it reads when asked to, or never.
class FakeLogDaemon {
public:
    FakeLogDaemon()
    {
        char folder[] = "/tmp/korvalen-log-XXXXXX";
        folder_ = ::mkdtemp(folder) ? folder : "";
        path_ = folder_ + "/log";
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
        bound_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        previousPath_ = Logger::setSystemLogPath(path_);
        quiet_ = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        previousFd_ = Logger::setOutputFileDescriptor(quiet_);
    }
    ~FakeLogDaemon()
    {
        Logger::setSystemLogPath(previousPath_);
        Logger::setOutputFileDescriptor(previousFd_);
        ::close(quiet_);
        ::close(fd_);
        ::unlink(path_.c_str());
        ::rmdir(folder_.c_str());
    }
    bool bound() const { return bound_; }
    std::string receive()
    {
        char buffer[65536];
        const ssize_t length = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
    }

private:
    std::string folder_;
    std::string path_;
    std::string previousPath_;
    int fd_ = -1;
    int quiet_ = -1;
    int previousFd_ = -1;
    bool bound_ = false;
};

TEST(LoggerSystemLog, EntriesReachTheDaemonWithTheirPriorityAndTag)
{
    FakeLogDaemon daemon;
    ASSERT_TRUE(daemon.bound());
    const std::string tag = std::string(Logger::subsystem) + "[" + std::to_string(::getpid()) + "]: ";
    const struct {
        void (*log)(std::string_view) noexcept;
        const char* priority;
        const char* category;
    } levels[] = {
        {Logger::info, "<13>", "[Benchmark] "},
        {Logger::runtime, "<14>", "[Runtime] "},
        {Logger::warning, "<11>", "[Runtime] "},
        {Logger::error, "<11>", "[Runtime] "},
    };
    for (const auto& level : levels) {
        SCOPED_TRACE(level.priority);
        level.log("EVENT key=value");
        const std::string entry = daemon.receive();
        EXPECT_EQ(entry.rfind(level.priority, 0), 0u) << entry;
        EXPECT_NE(entry.find(tag + level.category + "EVENT key=value"), std::string::npos) << entry;
        EXPECT_EQ(entry.size(), entry.find("EVENT key=value") + 15) << "no line feed or terminator added";
    }
}

TEST(LoggerSystemLog, ADaemonThatNeverReadsBlocksNoCaller)
{
    FakeLogDaemon daemon;
    ASSERT_TRUE(daemon.bound());
    // Far more than the socket holds: a blocking send would wait for the daemon forever.
    const std::string message(8 * 1024, 'x');
    auto logging = std::async(std::launch::async, [&] {
        for (int i = 0; i < 100; ++i) Logger::info(message);
    });
    ASSERT_EQ(logging.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(daemon.receive().empty()) << "what fitted was delivered";
}

TEST(LoggerDeathTest, ClosedStandardDescriptorsAreTakenByTheNullDevice)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Logger::setSystemLogSink([](const Logger::SystemLogEntry&) {});
            ::close(STDIN_FILENO);
            ::close(STDERR_FILENO);
            Logger::claimStandardDescriptors();
            char path[] = "/tmp/korvalen-later-XXXXXX";
            const int later = ::mkstemp(path);
            ::unlink(path);
            if (later <= STDERR_FILENO) std::_Exit(2);  // the file would have received the log lines
            struct stat in {};
            struct stat err {};
            struct stat null {};
            ::stat("/dev/null", &null);
            if (::fstat(STDIN_FILENO, &in) != 0 || ::fstat(STDERR_FILENO, &err) != 0) std::_Exit(3);
            if (in.st_rdev != null.st_rdev || err.st_rdev != null.st_rdev) std::_Exit(4);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
