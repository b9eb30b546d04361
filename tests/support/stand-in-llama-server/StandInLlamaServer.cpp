#include "StandInLlamaServer.h"

#include <QDateTime>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace korvalen::test {

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 302: return "Found";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Status";
    }
}

QByteArray jsonEscaped(const QString& text)
{
    QByteArray quoted = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return quoted.mid(2, quoted.size() - 4);  // strip ["..."]
}

QByteArray seconds()
{
    return QByteArray::number(QDateTime::currentSecsSinceEpoch());
}

// A chat completion as OpenAI-compatible servers send it. `content` is raw JSON ("null" or a
// quoted string, built by hand so that its bytes go out exactly as given, invalid UTF-8 included).
QByteArray chatBody(int id, const QString& model, const QByteArray& content, const QByteArray& refusal = "null",
                    const QByteArray& finishReason = "stop")
{
    return "{\"id\":\"chatcmpl-stand-in-" + QByteArray::number(id) +
           "\",\"object\":\"chat.completion\",\"created\":" + seconds() + ",\"model\":\"" + jsonEscaped(model) +
           "\",\"system_fingerprint\":\"b0-stand-in\",\"choices\":[{\"index\":0,\"message\":{\"role\":\"assistant\","
           "\"content\":" +
           content + ",\"refusal\":" + refusal + "},\"logprobs\":null,\"finish_reason\":\"" + finishReason +
           "\"}],\"usage\":{\"prompt_tokens\":42,\"completion_tokens\":7,\"total_tokens\":49}}";
}

QByteArray quoted(const QString& text)
{
    return "\"" + jsonEscaped(text) + "\"";
}

QByteArray errorBody(int code, const QByteArray& message, const QByteArray& type)
{
    return "{\"error\":{\"code\":" + QByteArray::number(code) + ",\"message\":\"" + message + "\",\"type\":\"" + type +
           "\"}}";
}

}  // namespace

StandInLlamaServer::StandInLlamaServer(QObject* parent) : QObject(parent), server_(new QTcpServer(this))
{
    connect(server_, &QTcpServer::newConnection, this, &StandInLlamaServer::accept);
}

StandInLlamaServer::~StandInLlamaServer() = default;

bool StandInLlamaServer::listen(quint16 port, const QString& host)
{
    return listen(port, QHostAddress(host));
}

bool StandInLlamaServer::listen(quint16 port, const QHostAddress& address)
{
    listenedAtMs_ = QDateTime::currentMSecsSinceEpoch();
    return server_->listen(address, port);
}

void StandInLlamaServer::close()
{
    server_->close();
}

quint16 StandInLlamaServer::port() const
{
    return server_->serverPort();
}

QString StandInLlamaServer::endpoint() const
{
    return "http://127.0.0.1:" + QString::number(port()) + "/v1";
}

int StandInLlamaServer::chatRequestCount() const
{
    int count = 0;
    for (const auto& r : requests_) count += r.path == "/v1/chat/completions" ? 1 : 0;
    return count;
}

StandInLlamaServer::Answer StandInLlamaServer::answerFromName(const QString& name)
{
    static const std::pair<const char*, Answer> names[] = {
        {"blank", Answer::blank},
        {"empty-text", Answer::emptyText},
        {"null-content", Answer::nullContent},
        {"refusal", Answer::refusal},
        {"invisible", Answer::invisible},
        {"length-cut", Answer::lengthCut},
        {"reasoning-only", Answer::reasoningOnly},
        {"unclosed-reasoning", Answer::unclosedReasoning},
        {"reasoning-then-answer", Answer::reasoningThenAnswer},
        {"garbage", Answer::garbage},
        {"html", Answer::html},
        {"invalid-utf8", Answer::invalidUtf8},
        {"redirect", Answer::redirect},
        {"huge", Answer::huge},
        {"server-error", Answer::serverError},
        {"huge-header", Answer::hugeHeader},
        {"trickle", Answer::trickle},
        {"endless-chunked", Answer::endlessChunked},
        {"chunked", Answer::chunked},
    };
    for (const auto& [text, answer] : names)
        if (name == text) return answer;
    return Answer::normal;
}

void StandInLlamaServer::accept()
{
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
        ++openConnections_;
        connect(socket, &QTcpSocket::disconnected, this, [this] { --openConnections_; });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
    }
}

// Requests are answered one at a time, in order, on a connection kept alive until the client
// closes it or asks for "Connection: close".
void StandInLlamaServer::read(QTcpSocket* socket)
{
    QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
    socket->setProperty("buffer", buffer);
    if (socket->property("busy").toBool()) return;
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0) return;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    qsizetype length = 0;
    bool close = false;
    for (const QByteArray& line : lines) {
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        if (name == "content-length") length = line.mid(colon + 1).trimmed().toLongLong();
        if (name == "connection") close = line.mid(colon + 1).trimmed().toLower() == "close";
    }
    if (buffer.size() < headEnd + 4 + length) return;
    socket->setProperty("buffer", buffer.mid(headEnd + 4 + length));
    socket->setProperty("busy", true);
    Request request{first.value(0), first.value(1), buffer.mid(headEnd + 4, length), close};
    requests_.push_back(request);
    respond(socket, request);
}

void StandInLlamaServer::send(QTcpSocket* socket, int status, const QByteArray& body, const QByteArray& type,
                              const QByteArray& extraHeaders)
{
    const bool close = socket->property("close").toBool();
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + " " + reasonPhrase(status) + "\r\n";
    head += "Server: stand-in-llama-server\r\nContent-Type: " + type +
            "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    head += extraHeaders;
    head += close ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
    socket->write(head);
    socket->write(body);
    if (close) {
        socket->disconnectFromHost();
        return;
    }
    socket->setProperty("busy", false);
    QPointer<QTcpSocket> guard(socket);
    QTimer::singleShot(0, this, [this, guard] {
        if (guard) read(guard);
    });
}

void StandInLlamaServer::respond(QTcpSocket* socket, const Request& request)
{
    socket->setProperty("close", request.close || behaviour.closeEveryConnection);
    if (request.path == "/health") {
        const bool healthy = QDateTime::currentMSecsSinceEpoch() - listenedAtMs_ >= behaviour.healthyAfterMs;
        if (healthy)
            send(socket, 200, "{\"status\":\"ok\"}");
        else
            send(socket, 503, errorBody(503, "Loading model", "unavailable_error"));
    } else if (request.path == "/v1/models" &&
               QDateTime::currentMSecsSinceEpoch() - listenedAtMs_ < behaviour.modelsAfterMs) {
        send(socket, 503, errorBody(503, "Loading model", "unavailable_error"));
    } else if (request.path == "/v1/models") {
        send(socket, 200,
             "{\"object\":\"list\",\"data\":[{\"id\":\"" + jsonEscaped(behaviour.alias) +
                 "\",\"object\":\"model\",\"created\":" + seconds() + ",\"owned_by\":\"llamacpp\"}]}");
    } else if (request.path == "/v1/chat/completions" && request.method == "POST") {
        QPointer<QTcpSocket> guard(socket);
        QTimer::singleShot(behaviour.answerDelayMs, this, [this, guard, request] {
            if (guard) answerChat(guard, request);
        });
    } else {
        send(socket, 404, errorBody(404, "File Not Found", "not_found_error"));
    }
}

void StandInLlamaServer::answerChat(QTcpSocket* socket, const Request& request)
{
    const int id = chatsSeen_++;
    if (id < behaviour.dropFirstChats) {
        socket->abort();
        return;
    }
    if (id < behaviour.dropFirstChats + behaviour.failFirstChats) {
        send(socket, behaviour.failStatus, errorBody(behaviour.failStatus, "Loading model", "unavailable_error"));
        return;
    }
    QString question;
    const QJsonArray messages = QJsonDocument::fromJson(request.body).object().value("messages").toArray();
    for (const auto& m : messages)
        if (m.toObject().value("role").toString() == "user") question = m.toObject().value("content").toString();
    const QString model = behaviour.alias;
    const QString answer = "Stand-in answer: " + question;
    switch (behaviour.answer) {
    case Answer::normal: send(socket, 200, chatBody(id, model, quoted(answer))); break;
    case Answer::blank: send(socket, 200, chatBody(id, model, "\" \\n\\t \"")); break;
    case Answer::emptyText: send(socket, 200, chatBody(id, model, "\"\"")); break;
    case Answer::nullContent: send(socket, 200, chatBody(id, model, "null")); break;
    case Answer::refusal: send(socket, 200, chatBody(id, model, "null", quoted("I can't help with that."))); break;
    case Answer::invisible: send(socket, 200, chatBody(id, model, "\"\\u200b \\u2060\\n\\ufeff\"")); break;
    case Answer::lengthCut: send(socket, 200, chatBody(id, model, quoted(answer.left(12)), "null", "length")); break;
    case Answer::reasoningOnly:
        send(socket, 200, chatBody(id, model, quoted("<think>\nThe user wants numbers.\n</think>\n\n")));
        break;
    case Answer::unclosedReasoning:
        send(socket, 200, chatBody(id, model, quoted("<think>\nThe user wants numbers, so"), "null", "length"));
        break;
    case Answer::reasoningThenAnswer:
        send(socket, 200, chatBody(id, model, quoted("<think>\nShort.\n</think>\n\n" + answer)));
        break;
    case Answer::garbage: send(socket, 200, "{\"choices\": [ {\"message\": oops"); break;
    case Answer::html:
        send(socket, 200, "<html><body><b>Hello</b><img src=x onerror=alert(1)></body></html>", "text/html");
        break;
    case Answer::invalidUtf8: send(socket, 200, chatBody(id, model, "\"caf\xC3\x28 \xFF\xFE\"")); break;
    case Answer::redirect:
        send(socket, 302, {}, "text/plain", "Location: http://127.0.0.2:9/v1/chat/completions\r\n");
        break;
    case Answer::huge: send(socket, 200, chatBody(id, model, quoted(QString(12 * 1024 * 1024, 'a')))); break;
    case Answer::serverError: send(socket, 500, errorBody(500, "Internal server error", "server_error")); break;
    case Answer::hugeHeader:
        send(socket, 200, chatBody(id, model, quoted(answer)), "application/json",
             "X-Padding: " + QByteArray(behaviour.hugeHeaderBytes, 'h') + "\r\n");
        break;
    case Answer::trickle: {
        const QByteArray body = chatBody(id, model, quoted(answer));
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                      QByteArray::number(body.size()) + "\r\n\r\n");
        trickle(socket, body);
        break;
    }
    case Answer::endlessChunked:
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n");
        sendChunksForever(socket);
        break;
    case Answer::chunked: {
        const QByteArray body = chatBody(id, model, quoted(answer));
        const qsizetype half = body.size() / 2;
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n");
        for (const QByteArray& piece : {body.left(half), body.mid(half)})
            socket->write(QByteArray::number(piece.size(), 16) + ";note=stand-in\r\n" + piece + "\r\n");
        socket->write("0\r\nX-Trailer: done\r\n\r\n");
        socket->setProperty("busy", false);
        break;
    }
    }
}

void StandInLlamaServer::trickle(QTcpSocket* socket, QByteArray rest)
{
    if (rest.isEmpty()) return;
    socket->write(rest.left(1));
    QPointer<QTcpSocket> guard(socket);
    QTimer::singleShot(behaviour.trickleIntervalMs, this, [this, guard, rest = rest.mid(1)] {
        if (guard && guard->state() == QAbstractSocket::ConnectedState) trickle(guard, rest);
    });
}

void StandInLlamaServer::sendChunksForever(QTcpSocket* socket)
{
    // Only as fast as the client reads, so the server's own memory stays small.
    if (socket->bytesToWrite() < 256 * 1024) {
        const QByteArray piece(16 * 1024, 'x');
        socket->write(QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n");
    }
    QPointer<QTcpSocket> guard(socket);
    QTimer::singleShot(1, this, [this, guard] {
        if (guard && guard->state() == QAbstractSocket::ConnectedState) sendChunksForever(guard);
    });
}

}  // namespace korvalen::test
