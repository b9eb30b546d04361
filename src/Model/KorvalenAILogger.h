#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace korvalen {

// The application's one logger, usable from any thread. Each message goes to the system log
// (syslog's datagram socket, identified by the subsystem, with the category in front of the text)
// and as one line on standard error: "<seconds since 1970 with three decimals> [KorvalenAI] [LEVEL]
// message". Messages are by convention an upper-case event word and key=value fields. Logging never
// throws, never blocks on a full or stalled standard error or log daemon and never dies on a closed
// one: an entry that cannot be written at once is dropped.
namespace KorvalenAILogger {

void info(std::string_view message) noexcept;     // INFO, category "Benchmark", type default
void runtime(std::string_view message) noexcept;  // RUNTIME, category "Runtime", type info
void warning(std::string_view message) noexcept;  // WARN, category "Runtime", type error
void error(std::string_view message) noexcept;    // ERROR, category "Runtime", type error

// Identifies the application in the system log.
inline constexpr const char* subsystem = "ai.korvalen.KorvalenAI";

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that a file the program
// opens later never becomes its standard error and receives the log lines. First thing in main().
void claimStandardDescriptors() noexcept;

// The standard-error line for a message logged at `secondsSince1970`, line feed included.
std::string standardErrorLine(double secondsSince1970, std::string_view level, std::string_view message);

// Seams for tests.
enum class SystemLogType { defaultType, info, error };
struct SystemLogEntry {
    std::string_view category;  // "Benchmark" or "Runtime"
    SystemLogType type;
    std::string_view message;
};
using SystemLogSink = std::function<void(const SystemLogEntry&)>;
// Replaces the system log; an empty sink restores it.
void setSystemLogSink(SystemLogSink sink);
// The system log's datagram socket ("/dev/log"). Returns the path in use before.
std::string setSystemLogPath(std::string path);
// Where the lines go instead of standard error (not owned; the caller keeps it open while set).
// Returns the descriptor in use before.
int setOutputFileDescriptor(int fd);
// How long a line already begun may wait for a slow reader: at most `stall` without progress and
// `budget` in all (100 ms and 500 ms). Returns the limits in force before.
struct WriteLimits {
    std::chrono::milliseconds stall{100};
    std::chrono::milliseconds budget{500};
};
WriteLimits setWriteLimits(WriteLimits limits);

}  // namespace KorvalenAILogger

}  // namespace korvalen
