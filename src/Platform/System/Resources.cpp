#include "Platform/System/Resources.h"

#include <cstdlib>
#include <system_error>

namespace korvalen::sys {

std::filesystem::path executablePath()
{
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path{} : path;
}

std::filesystem::path resourceDirectory(std::optional<std::string_view> environmentValue,
                                        const std::filesystem::path& executable)
{
    if (environmentValue && !environmentValue->empty()) {
        return std::filesystem::path(*environmentValue);
    }
    const auto folder = executable.parent_path();
    const auto shared = folder.parent_path() / "share" / "korvalen-ai";
    std::error_code error;
    if (std::filesystem::is_directory(shared, error)) {
        return shared;
    }
    return folder / "Resources";
}

std::filesystem::path resourceDirectory()
{
    const char* value = std::getenv("KORVALEN_RESOURCES");
    return resourceDirectory(value ? std::optional<std::string_view>(value) : std::nullopt, executablePath());
}

std::optional<std::filesystem::path> resourcePath(const std::filesystem::path& directory, std::string_view name,
                                                  std::string_view extension)
{
    if (name.empty()) {
        return std::nullopt;
    }
    std::string fileName(name);
    if (!extension.empty()) {
        fileName += '.';
        fileName += extension;
    }
    // A resource name is a plain file name: nothing may climb out of the resource folder.
    if (fileName.find('/') != std::string::npos || fileName == "." || fileName == "..") {
        return std::nullopt;
    }
    auto path = directory / fileName;
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        return std::nullopt;
    }
    return path;
}

std::optional<std::filesystem::path> resourcePath(std::string_view name, std::string_view extension)
{
    return resourcePath(resourceDirectory(), name, extension);
}

}  // namespace korvalen::sys
