#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvalen {

// A 128-bit identifier; written upper-case, read in either case.
struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    static Uuid random();  // version 4
    static std::optional<Uuid> parse(std::string_view text);
    std::string text() const;  // "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"

    bool operator==(const Uuid&) const = default;
    auto operator<=>(const Uuid&) const = default;
};

}  // namespace korvalen
