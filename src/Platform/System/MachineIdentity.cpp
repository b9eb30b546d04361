#include "Platform/System/MachineIdentity.h"

#include "Platform/System/ProcessorInfo.h"

#include <sys/utsname.h>
#include <algorithm>
#include <array>

namespace korvalen::sys {

namespace {

bool isPlaceholder(std::string_view name)
{
    static constexpr std::array<std::string_view, 6> placeholders{"To Be Filled By O.E.M.", "To be filled by O.E.M.",
                                                                  "System Product Name",    "Default string",
                                                                  "Not Applicable",         "None"};
    return std::find(placeholders.begin(), placeholders.end(), name) != placeholders.end();
}

std::optional<std::string> cleanName(std::optional<std::string> text)
{
    if (!text) return std::nullopt;
    // Device-tree strings end in NUL.
    const auto nul = text->find('\0');
    std::string_view view = trimmed(std::string_view(*text).substr(0, nul));
    if (view.empty() || isPlaceholder(view)) return std::nullopt;
    return std::string(view);
}

}  // namespace

std::optional<std::string> hardwareModel(const Root& root)
{
    for (const char* field : {"product_name", "board_name"}) {
        for (const char* folder : {"sys/class/dmi/id/", "sys/devices/virtual/dmi/id/"})
            if (auto name = cleanName(readLine(underRoot(root, std::string(folder) + field)))) return name;
    }
    if (auto model = cleanName(readFile(underRoot(root, "sys/firmware/devicetree/base/model"), 4096))) return model;
    const auto features = readProcessorIdentity(root).features;
    if (features && (" " + *features + " ").find(" hypervisor ") != std::string::npos) return "Virtual machine";
    return std::nullopt;
}

std::string operatingSystemVersion(const Root& root)
{
    std::string distribution;
    for (const char* file : {"etc/os-release", "usr/lib/os-release"}) {
        if (const auto text = readFile(underRoot(root, file), 64 * 1024)) {
            if (const auto name = keyedValue(*text, "PRETTY_NAME", '='); name && !name->empty()) {
                distribution = *name;
                break;
            }
        }
    }
    const auto kernel = readLine(underRoot(root, "proc/sys/kernel/osrelease"));
    std::string version = distribution;
    if (!version.empty()) version += ", ";
    version += "Linux";
    if (kernel) version += " " + *kernel;
    return version;
}

std::string_view buildArchitecture()
{
#if defined(__x86_64__)
    return "x86_64";
#elif defined(__aarch64__)
    return "arm64";
#else
    static const std::string machine = [] {
        utsname name{};
        return ::uname(&name) == 0 ? std::string(name.machine) : std::string("unknown");
    }();
    return machine;
#endif
}

}  // namespace korvalen::sys
