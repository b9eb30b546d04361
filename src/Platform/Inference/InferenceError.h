#pragma once

#include <stdexcept>
#include <string>

namespace korvalen::nn {

// Every failure of the runtime: loading, configuration, inputs and execution. The message is a
// complete sentence meant to be shown as it stands.
class Error : public std::runtime_error {
public:
    enum class Code {
        modelNotFound,            // no compiled model folder at the path
        invalidModel,             // the description or the weights are unreadable, corrupt or inconsistent
        unsupportedComputeUnits,  // the configuration asks for a unit this system does not have
        deviceUnavailable,        // the preferred device does not exist
        invalidInput,             // a missing input feature or a tensor of the wrong shape
        executionFailed,          // the executor could not run the network
        writeFailed,              // a compiled model could not be written
    };

    Error(Code code, const std::string& message) : std::runtime_error(message), code_(code) {}

    Code code() const noexcept { return code_; }

private:
    Code code_;
};

}  // namespace korvalen::nn
