#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace korvalen::sys {

// The application's resource folder: $KORVALEN_RESOURCES when set and non-empty, else
// <exe>/../share/korvalen-ai when that folder exists, else <exe>/Resources.
std::filesystem::path resourceDirectory();

// The same rule with its inputs handed in, for tests.
std::filesystem::path resourceDirectory(std::optional<std::string_view> environmentValue,
                                        const std::filesystem::path& executablePath);

// The resource `<name>.<extension>` (a file or a folder such as a compiled model) in the resource
// folder, or nothing when it is absent.
std::optional<std::filesystem::path> resourcePath(std::string_view name, std::string_view extension);
std::optional<std::filesystem::path> resourcePath(const std::filesystem::path& directory, std::string_view name,
                                                  std::string_view extension);

// The running program's own path (from /proc/self/exe); empty when it cannot be read.
std::filesystem::path executablePath();

}  // namespace korvalen::sys
