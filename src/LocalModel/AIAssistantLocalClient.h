#pragma once

#include "LocalModel/LocalModelErrors.h"
#include "Platform/Async/CancelFlag.h"
#include "Platform/Async/Task.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace korvalen {

// One message of the conversation handed to the local model: role "user" or "assistant".
struct LocalChatTurn {
    std::string role;
    std::string text;
};

// What the model answered.
struct LocalAnswer {
    std::string text;
    // The server ended the answer at the model's length limit: the text stops mid-way.
    bool cutAtLengthLimit = false;
    bool operator==(const LocalAnswer&) const = default;
};

// The client of an OpenAI-compatible chat-completions server on this machine. Only loopback
// endpoints are accepted, checked before any connection; no proxy is used and no redirect is
// followed, so a question never leaves the machine.
namespace AIAssistantLocalClient {

struct Options {
    // The answer is not streamed: nothing arrives until the model has finished it. A 4B model on
    // the processor reads a long benchmark context and writes a long answer in a few minutes.
    std::chrono::milliseconds transferTimeout{300'000};
    // The whole request, however its bytes trickle in: twice the silence allowed above.
    std::chrono::milliseconds requestTimeout{600'000};
    // Real servers send well under 1 KB of headers.
    std::int64_t maxHeaderBytes = 64 * 1024;
    // Far above any chat answer; a larger body is refused rather than held in memory.
    std::int64_t maxResponseBytes = 8 * 1024 * 1024;
    // The request as sent, JSON escaping included: as much as an answer may be.
    std::int64_t maxRequestBytes = 8 * 1024 * 1024;
    std::chrono::milliseconds retryDelay{750};
};
// The process-wide options (tests shorten them).
Options& options();

// The chat-completions address for an endpoint text ("127.0.0.1:8080/v1", "http://localhost:18080",
// ".../v1/chat/completions"). Throws LocalModelError invalidEndpoint or nonLoopbackEndpoint.
QUrl chatCompletionsURL(const std::string& endpoint);
// 127.0.0.0/8, ::1 or "localhost".
bool isLoopbackHost(const QString& host);

// The request body: the system text, then the conversation; the prompt is added as the last user
// message only when the conversation does not already end with it. Over options().maxRequestBytes,
// the oldest turns are left out, so that the rest begins with a question; throws LocalModelError
// requestTooLarge when the system text and the prompt alone pass it.
QByteArray requestBody(const std::string& model, const std::string& prompt,
                       const std::vector<LocalChatTurn>& conversation, const std::string& systemText);
// The answer of a response body: its content (a leading reasoning block removed), or the model's
// refusal when it gave no content. Throws LocalModelError invalidResponse (not UTF-8, not JSON, not
// a chat completion) or emptyResponse (nothing visible: no content, only blanks or format
// characters, or only reasoning).
LocalAnswer parseAnswer(const QByteArray& body);
// Whether a text shows nothing: blanks, control and format characters (zero-width space, word
// joiner, byte-order mark, ...) and the other characters drawn as nothing.
bool isInvisible(const QString& text);

// Sends one request and gives the answer; one retry on a transient failure (refused
// connection, closed before any answer, status 502, 503 or 504). Headers, body and time are bounded
// (options()). Throws LocalModelError, LocalTransportError, or LocalTaskCancelled when `cancel` is
// set. Main thread.
Task<LocalAnswer> generate(std::string endpoint, std::string model, std::string prompt,
                           std::vector<LocalChatTurn> conversation, std::string expertContext, bool managedQwen,
                           bool benchmarkContext, CancelFlag cancel = {});

}  // namespace AIAssistantLocalClient

}  // namespace korvalen
