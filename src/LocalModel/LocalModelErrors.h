#pragma once

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

namespace korvalen {

// A local-model request that failed in a way the user can act on; what() is the text shown after
// "Technical reason: ".
class LocalModelError : public std::exception {
public:
    enum class Kind {
        server,
        invalidEndpoint,
        nonLoopbackEndpoint,
        invalidResponse,
        emptyResponse,
        responseTooLarge,
        requestTooLarge
    };

    static LocalModelError server(int status) { return LocalModelError(Kind::server, status); }
    static LocalModelError invalidEndpoint() { return LocalModelError(Kind::invalidEndpoint); }
    static LocalModelError nonLoopbackEndpoint() { return LocalModelError(Kind::nonLoopbackEndpoint); }
    static LocalModelError invalidResponse() { return LocalModelError(Kind::invalidResponse); }
    static LocalModelError emptyResponse() { return LocalModelError(Kind::emptyResponse); }
    // The answer passed the client's cap of `limitBytes`: refused rather than held in memory.
    static LocalModelError responseTooLarge(std::int64_t limitBytes)
    {
        return LocalModelError(Kind::responseTooLarge, 0, limitBytes);
    }

    // The question alone, with the system text, passes the client's cap of `limitBytes` on a request.
    static LocalModelError requestTooLarge(std::int64_t limitBytes)
    {
        return LocalModelError(Kind::requestTooLarge, 0, limitBytes);
    }

    Kind kind() const { return kind_; }
    int status() const { return status_; }
    const char* what() const noexcept override { return text_.c_str(); }

private:
    explicit LocalModelError(Kind kind, int status = 0, std::int64_t limitBytes = 0);

    Kind kind_;
    int status_;
    std::string text_;
};

// A failure below HTTP (refused connection, reset, time-out); what() is the platform's text.
class LocalTransportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The awaiting task was cancelled; never shown to the user.
class LocalTaskCancelled : public std::exception {
public:
    const char* what() const noexcept override { return "cancelled"; }
};

// The model manager could not do what was asked; what() fits the status line.
class ModelManagerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace korvalen
