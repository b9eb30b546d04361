#include "Platform/System/ResidentMemory.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

using namespace korvalen::sys;

namespace {

class StatmFile {
public:
    StatmFile()
    {
        char pattern[] = "/tmp/korvalen-statm-XXXXXX";
        const int fd = ::mkstemp(pattern);
        EXPECT_GE(fd, 0);
        ::close(fd);
        path_ = pattern;
    }
    ~StatmFile() { std::remove(path_.c_str()); }
    // Rewrites in place, so a reader that keeps the file open sees the new text.
    void write(const std::string& text) const
    {
        std::ofstream out(path_, std::ios::trunc);
        out << text;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::uint64_t page()
{
    return static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

}  // namespace

TEST(ResidentMemory, ReadsSecondFieldInPagesAndFollowsChangesThroughTheOpenFile)
{
    StatmFile file;
    file.write("12000 2560 300 10 0 900 0\n");
    ResidentMemoryReader reader(file.path());
    EXPECT_EQ(reader.residentBytes(), 2560 * page());
    EXPECT_DOUBLE_EQ(reader.residentMB(), 2560.0 * static_cast<double>(page()) / 1048576.0);

    // A longer text after a shorter one: pread from offset 0 must not keep stale bytes.
    file.write("1 7\n");
    EXPECT_EQ(reader.residentBytes(), 7 * page());
    file.write("123456789 123456789 1 1 0 1 0\n");
    EXPECT_EQ(reader.residentBytes(), 123456789ull * page());
}

TEST(ResidentMemory, FailedReadingsGiveZero)
{
    ResidentMemoryReader missing("/nonexistent/korvalen/statm");
    EXPECT_EQ(missing.residentBytes(), 0u);
    EXPECT_EQ(missing.residentMB(), 0.0);

    StatmFile file;
    ResidentMemoryReader reader(file.path());
    for (const char* text :
         {"", "12000\n", "12000 abc 1\n", "12000 -5 1\n", "12000 5x 1\n", "1 99999999999999999999999 0\n"}) {
        file.write(text);
        EXPECT_EQ(reader.residentBytes(), 0u) << '"' << text << '"';
    }
}

TEST(ResidentMemory, ParserRejectsOverflowingPageCounts)
{
    std::uint64_t bytes = 1;
    const std::string huge = "1 18446744073709551615 0";
    EXPECT_FALSE(parseStatmResidentBytes(huge.data(), huge.size(), 4096, bytes));
    const std::string fine = "1 3";
    EXPECT_TRUE(parseStatmResidentBytes(fine.data(), fine.size(), 4096, bytes));
    EXPECT_EQ(bytes, 3u * 4096u);
}

TEST(ResidentMemory, ProcessReadingIsPlausible)
{
    const std::uint64_t bytes = residentBytes();
    EXPECT_GT(bytes, 1u << 20);  // a running test program holds more than a megabyte
    EXPECT_LT(bytes, 1ull << 40);
}
