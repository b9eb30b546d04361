#include "Platform/System/ResidentMemory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace korvalen::sys {

namespace {

std::uint64_t pageSize() noexcept
{
    static const std::uint64_t size = [] {
        const long value = ::sysconf(_SC_PAGESIZE);
        return value > 0 ? static_cast<std::uint64_t>(value) : std::uint64_t{4096};
    }();
    return size;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

}  // namespace

bool parseStatmResidentBytes(const char* text, std::size_t length, std::uint64_t pageSize,
                             std::uint64_t& bytes) noexcept
{
    const char* p = text;
    const char* end = text + length;
    std::uint64_t fields[2] = {0, 0};
    for (auto& field : fields) {
        while (p < end && isBlank(*p)) ++p;
        const auto [next, ec] = std::from_chars(p, end, field);
        if (ec != std::errc{} || next == p) return false;
        p = next;
        // A number must end at a blank or the line's end, never run into other characters.
        if (p < end && !isBlank(*p) && *p != '\n') return false;
    }
    const std::uint64_t pages = fields[1];
    if (pageSize != 0 && pages > std::numeric_limits<std::uint64_t>::max() / pageSize) return false;
    bytes = pages * pageSize;
    return true;
}

ResidentMemoryReader::ResidentMemoryReader(std::string statmPath) : statmPath_(std::move(statmPath))
{
    do {
        fd_ = ::open(statmPath_.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
}

ResidentMemoryReader::~ResidentMemoryReader()
{
    if (fd_ >= 0) ::close(fd_);
}

std::uint64_t ResidentMemoryReader::residentBytes() const noexcept
{
    if (fd_ < 0) return 0;
    // statm is a single short line of seven numbers; 256 bytes hold it with room to spare.
    char buffer[256];
    ssize_t count;
    do {
        count = ::pread(fd_, buffer, sizeof buffer, 0);
    } while (count < 0 && errno == EINTR);
    if (count <= 0) return 0;
    std::uint64_t bytes = 0;
    if (!parseStatmResidentBytes(buffer, static_cast<std::size_t>(count), pageSize(), bytes)) return 0;
    return bytes;
}

double ResidentMemoryReader::residentMB() const noexcept
{
    return static_cast<double>(residentBytes()) * 9.5367431640625e-7;  // 2^-20
}

ResidentMemoryReader& processResidentMemory()
{
    static ResidentMemoryReader reader;
    return reader;
}

std::uint64_t residentBytes() noexcept
{
    return processResidentMemory().residentBytes();
}

double residentMB() noexcept
{
    return processResidentMemory().residentMB();
}

long long otherThreadsContextSwitches()
{
    const long self = ::syscall(SYS_gettid);
    long long total = 0;
    DIR* tasks = ::opendir("/proc/self/task");
    if (!tasks) return 0;
    while (const dirent* entry = ::readdir(tasks)) {
        if (entry->d_name[0] == '.' || std::atol(entry->d_name) == self) continue;
        const std::string path = std::string("/proc/self/task/") + entry->d_name + "/status";
        if (FILE* status = std::fopen(path.c_str(), "r")) {
            char line[256];
            long long value = 0;
            while (std::fgets(line, sizeof line, status))
                if (std::sscanf(line, "voluntary_ctxt_switches: %lld", &value) == 1 ||
                    std::sscanf(line, "nonvoluntary_ctxt_switches: %lld", &value) == 1)
                    total += value;
            std::fclose(status);
        }
    }
    ::closedir(tasks);
    return total;
}

}  // namespace korvalen::sys
