#include "LocalModel/LoopbackNetwork.h"

#include "Platform/Async/Async.h"

#include <QCoreApplication>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>
#if QT_CONFIG(ssl)
#include <QSslSocket>
#endif

#include <algorithm>
#include <memory>
#include <utility>

namespace korvalen {

namespace {

using Outcome = LoopbackHttpResult::Outcome;

// Larger reads wait in the kernel: what a server sends is held here only as fast as it is parsed.
constexpr qint64 readBufferBytes = 256 * 1024;
// A chunk-size line is a hexadecimal number and perhaps an extension; anything longer is not HTTP.
constexpr qsizetype maxChunkLineBytes = 1024;

struct Exchange : std::enable_shared_from_this<Exchange> {
    enum class Phase { head, lengthBody, chunkSize, chunkData, chunkTrailer, untilClose };

    LoopbackHttpLimits limits;
    QByteArray request;
    QAbstractSocket* socket = nullptr;
    QTimer* idle = nullptr;
    QTimer* overall = nullptr;
    QByteArray buffer;  // received, not yet parsed
    Phase phase = Phase::head;
    qint64 remaining = 0;  // of the body or of the current chunk
    qint64 trailerBytes = 0;
    bool anyByte = false;
    bool finished = false;
    LoopbackHttpResult result;
    std::function<void(const QAbstractSocket&)> whileOpen;
    std::coroutine_handle<> continuation;

    void start(const QUrl& url)
    {
        const bool secure = url.scheme().compare("https", Qt::CaseInsensitive) == 0;
#if QT_CONFIG(ssl)
        socket = secure ? new QSslSocket : new QTcpSocket;
#else
        socket = new QTcpSocket;
#endif
        socket->setProxy(QNetworkProxy::NoProxy);
        socket->setReadBufferSize(readBufferBytes);
        idle = new QTimer(socket);
        idle->setSingleShot(true);
        idle->setInterval(static_cast<int>(limits.inactivity.count()));
        overall = new QTimer(socket);
        overall->setSingleShot(true);
        overall->setInterval(static_cast<int>(limits.whole.count()));
        auto self = shared_from_this();
        QObject::connect(idle, &QTimer::timeout, socket, [self] { self->finish(Outcome::inactivityTimeout); });
        QObject::connect(overall, &QTimer::timeout, socket, [self] { self->finish(Outcome::wholeTimeout); });
        QObject::connect(socket, &QAbstractSocket::connected, socket, [self] {
            self->idle->start();
            self->socket->write(self->request);
        });
        QObject::connect(socket, &QAbstractSocket::bytesWritten, socket, [self] { self->idle->start(); });
        QObject::connect(socket, &QAbstractSocket::readyRead, socket, [self] { self->receive(); });
        QObject::connect(socket, &QAbstractSocket::disconnected, socket, [self] { self->closed(); });
        QObject::connect(socket, &QAbstractSocket::errorOccurred, socket,
                         [self](QAbstractSocket::SocketError error) { self->failed(error); });
        idle->start();
        overall->start();
        const auto port = static_cast<quint16>(url.port(secure ? 443 : 80));
#if QT_CONFIG(ssl)
        if (secure) {
            static_cast<QSslSocket*>(socket)->connectToHostEncrypted(url.host(), port);
            return;
        }
#endif
        socket->connectToHost(url.host(), port);
    }

    void finish(Outcome outcome, const QString& text = {})
    {
        if (finished) return;
        finished = true;
        result.outcome = outcome;
        result.errorText = text;
        if (outcome != Outcome::complete) result.body.clear();
        if (outcome == Outcome::complete && whileOpen) std::exchange(whileOpen, nullptr)(*socket);
        buffer.clear();
        idle->stop();
        overall->stop();
        idle->disconnect();
        overall->disconnect();
        socket->disconnect();
        socket->abort();
        socket->deleteLater();
        if (continuation) detail::resumeOnMain(continuation);
    }

    void receive()
    {
        if (finished) return;
        const QByteArray data = socket->readAll();
        if (data.isEmpty()) return;
        anyByte = true;
        idle->start();
        buffer.append(data);
        parse();
    }

    void closed()
    {
        if (finished) return;
        buffer.append(socket->readAll());
        parse();
        if (finished) return;
        if (phase == Phase::untilClose)
            finish(Outcome::complete);
        else
            finish(anyByte ? Outcome::broken : Outcome::closedEarly);
    }

    void failed(QAbstractSocket::SocketError error)
    {
        if (finished) return;
        if (error == QAbstractSocket::RemoteHostClosedError) return closed();
        finish(error == QAbstractSocket::ConnectionRefusedError ? Outcome::refused : Outcome::socketError,
               socket->errorString());
    }

    // Consumes what it can of the buffer; finishes the exchange when the response is whole or wrong.
    void parse()
    {
        while (!finished) {
            const qsizetype before = buffer.size();
            const Phase was = phase;
            switch (phase) {
            case Phase::head: parseHead(); break;
            case Phase::lengthBody: takeBody(); break;
            case Phase::chunkSize: parseChunkSize(); break;
            case Phase::chunkData: takeChunk(); break;
            case Phase::chunkTrailer: parseTrailer(); break;
            case Phase::untilClose: takeUntilClose(); return;
            }
            if (buffer.size() == before && phase == was) return;  // waits for more bytes
        }
    }

    void parseHead()
    {
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        if ((end < 0 && buffer.size() > limits.maxHeaderBytes) || end + 4 > limits.maxHeaderBytes)
            return finish(Outcome::headersTooLarge);
        if (end < 0) return;
        const QList<QByteArray> lines = buffer.left(end).split('\n');
        buffer.remove(0, end + 4);

        const QList<QByteArray> statusLine = lines.first().trimmed().split(' ');
        bool numeric = false;
        const int status = statusLine.value(1).toInt(&numeric);
        if (!statusLine.first().startsWith("HTTP/1.") || !numeric || status < 100 || status > 999)
            return finish(Outcome::malformed);
        if (status < 200) return;  // an interim answer; the real one follows

        bool chunked = false;
        qint64 length = -1;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray& line = lines[i];
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0) continue;
            const QByteArray name = line.left(colon).trimmed().toLower();
            const QByteArray value = line.mid(colon + 1).trimmed();
            if (name == "transfer-encoding") {
                chunked = value.toLower().contains("chunked");
            } else if (name == "content-length") {
                bool ok = false;
                const qint64 parsed = value.toLongLong(&ok);
                if (!ok || parsed < 0 || (length >= 0 && parsed != length)) return finish(Outcome::malformed);
                length = parsed;
            }
        }
        result.status = status;
        if (status == 204 || status == 304) return finish(Outcome::complete);
        if (chunked) {
            phase = Phase::chunkSize;
        } else if (length >= 0) {
            if (length > limits.maxBodyBytes) return finish(Outcome::bodyTooLarge);
            remaining = length;
            phase = Phase::lengthBody;
            if (remaining == 0) finish(Outcome::complete);
        } else {
            phase = Phase::untilClose;
        }
    }

    qint64 take()
    {
        const qint64 count = std::min<qint64>(remaining, buffer.size());
        result.body.append(buffer.constData(), count);
        buffer.remove(0, count);
        remaining -= count;
        return count;
    }

    void takeBody()
    {
        take();
        if (remaining == 0) finish(Outcome::complete);
    }

    void takeUntilClose()
    {
        result.body.append(buffer);
        buffer.clear();
        if (result.body.size() > limits.maxBodyBytes) finish(Outcome::bodyTooLarge);
    }

    void parseChunkSize()
    {
        const qsizetype end = buffer.indexOf("\r\n");
        if (end < 0) {
            if (buffer.size() > maxChunkLineBytes) finish(Outcome::malformed);
            return;
        }
        QByteArray line = buffer.left(end);
        buffer.remove(0, end + 2);
        if (const qsizetype extension = line.indexOf(';'); extension >= 0) line.truncate(extension);
        bool ok = false;
        const qint64 size = line.trimmed().toLongLong(&ok, 16);
        if (!ok || size < 0) return finish(Outcome::malformed);
        if (size == 0) {
            phase = Phase::chunkTrailer;
            return;
        }
        if (size > limits.maxBodyBytes - result.body.size()) return finish(Outcome::bodyTooLarge);
        remaining = size;
        phase = Phase::chunkData;
    }

    void takeChunk()
    {
        take();
        if (remaining > 0 || buffer.size() < 2) return;
        if (!buffer.startsWith("\r\n")) return finish(Outcome::malformed);
        buffer.remove(0, 2);
        phase = Phase::chunkSize;
    }

    void parseTrailer()
    {
        const qsizetype end = buffer.indexOf("\r\n");
        if (end < 0) {
            if (trailerBytes + buffer.size() > limits.maxHeaderBytes) finish(Outcome::headersTooLarge);
            return;
        }
        buffer.remove(0, end + 2);
        if (end == 0) return finish(Outcome::complete);
        trailerBytes += end + 2;
        if (trailerBytes > limits.maxHeaderBytes) finish(Outcome::headersTooLarge);
    }
};

struct ExchangeAwaiter {
    std::shared_ptr<Exchange> exchange;
    QUrl url;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> awaiting)
    {
        exchange->continuation = awaiting;
        exchange->start(url);
    }
    void await_resume() const noexcept {}
};

}  // namespace

Task<LoopbackHttpResult> loopbackRequest(QUrl url, QByteArray method, QByteArray body, LoopbackHttpLimits limits,
                                         CancelFlag cancel, std::function<void(const QAbstractSocket&)> whileOpen)
{
    auto exchange = std::make_shared<Exchange>();
    exchange->limits = limits;
    exchange->whileOpen = std::move(whileOpen);
    QByteArray target = url.path(QUrl::FullyEncoded).toLatin1();
    if (target.isEmpty()) target = "/";
    if (url.hasQuery()) target += "?" + url.query(QUrl::FullyEncoded).toLatin1();
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':')) host = "[" + host + "]";
    if (url.port() >= 0) host += ":" + QByteArray::number(url.port());
    QByteArray& request = exchange->request;
    request = method + " " + target + " HTTP/1.1\r\nHost: " + host + "\r\n";
    if (!body.isEmpty() || method == "POST")
        request += "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    request += "Accept: application/json\r\n";
    if (!exchange->whileOpen) request += "Connection: close\r\n";
    request += "\r\n" + body;

    std::weak_ptr<Exchange> weak = exchange;
    const std::uint64_t cancelKey = cancel.onCancel([weak] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [weak] {
                if (auto alive = weak.lock(); alive && alive->socket) alive->finish(Outcome::cancelled);
            },
            Qt::QueuedConnection);
    });
    ExchangeAwaiter awaiter{exchange, std::move(url)};
    co_await awaiter;
    cancel.forget(cancelKey);
    co_return std::move(exchange->result);
}

}  // namespace korvalen
