#include "Platform/Foundation/Sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvalen {
namespace {

struct Vector {
    std::string message;
    const char* digest;
};

// The standard FIPS 180 examples, plus lengths around the 55/56/64-byte padding boundaries.
TEST(Sha256, StandardVectors)
{
    const std::vector<Vector> vectors{
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
    };
    for (const auto& v : vectors) {
        EXPECT_EQ(sha256Hex(v.message), v.digest) << "length " << v.message.size();
    }
}

TEST(Sha256, PiecewiseUpdatesMatchOneShot)
{
    std::string message;
    for (int i = 0; i < 1000; ++i) {
        message.push_back(char(i * 37 + 11));
    }
    for (std::size_t piece : {1u, 3u, 63u, 64u, 65u, 200u}) {
        Sha256 hash;
        for (std::size_t offset = 0; offset < message.size(); offset += piece) {
            hash.update(std::string_view(message).substr(offset, piece));
        }
        const auto digest = hash.finish();
        EXPECT_EQ(hexString(digest), sha256Hex(message)) << "piece " << piece;
    }
}

}  // namespace
}  // namespace korvalen
