#pragma once

#include "Platform/System/SystemFiles.h"

#include <optional>
#include <string>
#include <string_view>

namespace korvalen::sys {

// The name the firmware gives the machine: the DMI product name, else the DMI board name, else the
// device tree's model; "Virtual machine" when none of these exists and the processor says it runs
// under a hypervisor; no value otherwise. Vendor placeholders count as no name.
std::optional<std::string> hardwareModel(const Root& root = "/");

// "Debian GNU/Linux 12 (bookworm), Linux 6.1.0-18-amd64": the distribution's PRETTY_NAME and
// the kernel release, whichever exist.
std::string operatingSystemVersion(const Root& root = "/");

// Instruction set of this build: "x86_64" or "arm64" (the names the stored profiles use).
std::string_view buildArchitecture();

}  // namespace korvalen::sys
