#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace korvalen::test {

// A throw-away folder standing in for "/" of a machine: tests write the /proc and /sys files a
// reader needs and point the reader at root(). Removed with everything in it on destruction.
class FixtureTree {
public:
    FixtureTree();
    ~FixtureTree();
    FixtureTree(const FixtureTree&) = delete;
    FixtureTree& operator=(const FixtureTree&) = delete;

    const std::filesystem::path& root() const { return root_; }

    // Writes `content` to `relative` (no leading slash), creating the folders on the way.
    FixtureTree& write(std::string_view relative, std::string_view content);
    FixtureTree& makeFolder(std::string_view relative);
    FixtureTree& remove(std::string_view relative);

private:
    std::filesystem::path root_;
};

}  // namespace korvalen::test
