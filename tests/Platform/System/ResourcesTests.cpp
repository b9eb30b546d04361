#include "Platform/System/Resources.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <fstream>

namespace korvalen::sys {
namespace {

namespace fs = std::filesystem;

class ResourcesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = fs::temp_directory_path() / ("korvalen-resources-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "bin");
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path root_;
};

TEST_F(ResourcesTest, LookUpOrder)
{
    const auto exe = root_ / "bin" / "korvalen-ai";
    // Without a shared folder beside the program: the bundle-style folder next to it.
    EXPECT_EQ(resourceDirectory(std::nullopt, exe), root_ / "bin" / "Resources");
    // An empty variable counts as unset.
    EXPECT_EQ(resourceDirectory(std::string_view(""), exe), root_ / "bin" / "Resources");

    fs::create_directories(root_ / "share" / "korvalen-ai");
    EXPECT_EQ(resourceDirectory(std::nullopt, exe), root_ / "share" / "korvalen-ai");

    // The variable wins over both.
    EXPECT_EQ(resourceDirectory(std::string_view("/opt/elsewhere"), exe), fs::path("/opt/elsewhere"));
}

TEST_F(ResourcesTest, ResourcePathFindsFilesAndFoldersOnly)
{
    fs::create_directories(root_ / "OlvaneVisionNet.mlmodelc");
    std::ofstream(root_ / "ModelManifest.json") << "{}";

    EXPECT_EQ(resourcePath(root_, "OlvaneVisionNet", "mlmodelc"), root_ / "OlvaneVisionNet.mlmodelc");
    EXPECT_EQ(resourcePath(root_, "ModelManifest", "json"), root_ / "ModelManifest.json");
    EXPECT_EQ(resourcePath(root_, "OlvaneAudioNet", "mlmodelc"), std::nullopt);
    EXPECT_EQ(resourcePath(root_, "", "json"), std::nullopt);
    EXPECT_EQ(resourcePath(root_ / "bin", "../ModelManifest", "json"), std::nullopt);
}

}  // namespace
}  // namespace korvalen::sys
