#include "support/FixtureTree.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace korvalen::test {

FixtureTree::FixtureTree()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "korvalen-fixture-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a fixture folder");
    root_ = pattern;
}

FixtureTree::~FixtureTree()
{
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

FixtureTree& FixtureTree::write(std::string_view relative, std::string_view content)
{
    const auto path = root_ / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!file) throw std::runtime_error("cannot write fixture file " + path.string());
    return *this;
}

FixtureTree& FixtureTree::makeFolder(std::string_view relative)
{
    std::filesystem::create_directories(root_ / relative);
    return *this;
}

FixtureTree& FixtureTree::remove(std::string_view relative)
{
    std::filesystem::remove_all(root_ / relative);
    return *this;
}

}  // namespace korvalen::test
