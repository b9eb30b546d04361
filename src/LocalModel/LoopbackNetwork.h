#pragma once

#include "Platform/Async/CancelFlag.h"
#include "Platform/Async/Task.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QString>
#include <QUrl>

#include <chrono>
#include <cstdint>
#include <functional>

namespace korvalen {

// Bounds of one loopback HTTP exchange. Nothing a server sends can make it hold more memory or
// time than these: header block, body, silence, and the exchange as a whole.
struct LoopbackHttpLimits {
    std::chrono::milliseconds inactivity{30'000};  // with no byte sent or received
    std::chrono::milliseconds whole{60'000};       // from connecting to the last body byte
    std::int64_t maxHeaderBytes = 64 * 1024;       // status line and headers together
    std::int64_t maxBodyBytes = 8 * 1024 * 1024;
};

struct LoopbackHttpResult {
    enum class Outcome {
        complete,         // a whole response: status and body
        refused,          // nothing listens there
        closedEarly,      // the connection ended before any byte of a response
        broken,           // it ended in the middle of a response
        malformed,        // not HTTP/1.x, or a broken chunked body
        headersTooLarge,  // the header block passed its limit
        bodyTooLarge,     // the body passed its limit
        inactivityTimeout,
        wholeTimeout,
        cancelled,
        socketError,  // another failure of the connection; see errorText
    };
    Outcome outcome = Outcome::socketError;
    int status = 0;
    QByteArray body;
    QString errorText;  // the platform's text for refused and socketError
};

// One HTTP/1.1 request to a loopback address over a connection of its own, with no proxy and no
// redirect followed. Handles Content-Length, chunked and until-close bodies; reads no further than
// the response's end on a kept-alive connection. Sends "Connection: close" unless `whileOpen` is
// given: then the server may keep the connection, and `whileOpen` sees the socket once a whole
// response has come, before it is closed, so that who serves it can be looked at.
// Main thread; completes through the event loop.
Task<LoopbackHttpResult> loopbackRequest(QUrl url, QByteArray method, QByteArray body, LoopbackHttpLimits limits,
                                         CancelFlag cancel = {},
                                         std::function<void(const QAbstractSocket&)> whileOpen = {});

}  // namespace korvalen
