#pragma once

#include "Platform/Foundation/StrictJSON.h"

#include <gtest/gtest.h>

namespace korvalen::testing {

// The kind of decoding failure a call raises; a call that succeeds fails the test.
template <typename F>
JSONDecodingError::Kind failureKind(F&& decode)
{
    try {
        decode();
    } catch (const JSONDecodingError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "decoding succeeded";
    return JSONDecodingError::Kind::dataCorrupted;
}

}  // namespace korvalen::testing
