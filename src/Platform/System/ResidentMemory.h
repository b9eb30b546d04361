#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvalen::sys {

// Resident size of the process from /proc/self/statm. The file is opened once and re-read with
// pread on every reading: sampling happens inside timed loops, and a fresh open costs several
// times more than the read itself.
class ResidentMemoryReader {
public:
    // `statmPath` lets tests hand in a file of their own; the second field, in pages, is read.
    explicit ResidentMemoryReader(std::string statmPath = "/proc/self/statm");
    ~ResidentMemoryReader();
    ResidentMemoryReader(const ResidentMemoryReader&) = delete;
    ResidentMemoryReader& operator=(const ResidentMemoryReader&) = delete;

    // 0 when the file cannot be opened, read or understood. Safe from any thread.
    std::uint64_t residentBytes() const noexcept;
    // Megabytes of 2^20 bytes; 0 on failure.
    double residentMB() const noexcept;

    const std::string& path() const { return statmPath_; }

private:
    std::string statmPath_;
    int fd_ = -1;
};

// The process's own reader, made once on first use.
ResidentMemoryReader& processResidentMemory();
std::uint64_t residentBytes() noexcept;
double residentMB() noexcept;

// Parses the text of a statm file: the resident page count (second field) times the page size;
// no value for anything malformed. Exposed for the reader's tests.
bool parseStatmResidentBytes(const char* text, std::size_t length, std::uint64_t pageSize,
                             std::uint64_t& bytes) noexcept;

// Context switches so far of every thread of this process but the calling one: work handed to
// another thread (a pool's wake-up) shows here. Reads /proc/self/task; 0 where it cannot.
long long otherThreadsContextSwitches();

}  // namespace korvalen::sys
