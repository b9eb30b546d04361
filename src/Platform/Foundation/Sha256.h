#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace korvalen {

// Incremental SHA-256 (FIPS 180-4), so the model tool can digest a folder file by file without
// holding it whole.
class Sha256 {
public:
    Sha256();

    void update(std::span<const std::byte> bytes);
    void update(std::string_view text);

    // Finishes the digest; the object must not be updated afterwards.
    std::array<std::uint8_t, 32> finish();

private:
    void compress(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t totalBytes_ = 0;
};

// Lower-case hexadecimal digest of the bytes, 64 characters.
std::string sha256Hex(std::span<const std::byte> bytes);
std::string sha256Hex(std::string_view text);

// Lower-case hexadecimal form of any digest.
std::string hexString(std::span<const std::uint8_t> bytes);

}  // namespace korvalen
