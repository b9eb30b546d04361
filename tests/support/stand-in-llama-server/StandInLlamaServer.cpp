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
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

void send(QTcpSocket* socket, int status, const QByteArray& body, const QByteArray& type = "application/json",
          const QByteArray& extraHeaders = {})
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + " " + reasonPhrase(status) + "\r\n";
    head += "Content-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    head += extraHeaders;
    head += "Connection: close\r\n\r\n";
    socket->write(head);
    socket->write(body);
    socket->disconnectFromHost();
}

QByteArray chatBody(const QByteArray& content)
{
    // Built by hand so that the content bytes go out exactly as given (invalid UTF-8 included).
    return "{\"object\":\"chat.completion\",\"choices\":[{\"index\":0,\"message\":{\"role\":\"assistant\",\"content\":"
           "\"" +
           content + "\"},\"finish_reason\":\"stop\"}]}";
}

QByteArray jsonEscaped(const QString& text)
{
    QByteArray quoted = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return quoted.mid(2, quoted.size() - 4);  // strip ["..."]
}

}  // namespace

StandInLlamaServer::StandInLlamaServer(QObject* parent) : QObject(parent), server_(new QTcpServer(this))
{
    connect(server_, &QTcpServer::newConnection, this, &StandInLlamaServer::accept);
}

StandInLlamaServer::~StandInLlamaServer() = default;

bool StandInLlamaServer::listen(quint16 port, const QString& host)
{
    listenedAtMs_ = QDateTime::currentMSecsSinceEpoch();
    return server_->listen(QHostAddress(host), port);
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
    if (name == "blank") return Answer::blank;
    if (name == "garbage") return Answer::garbage;
    if (name == "html") return Answer::html;
    if (name == "invalid-utf8") return Answer::invalidUtf8;
    if (name == "redirect") return Answer::redirect;
    if (name == "huge") return Answer::huge;
    if (name == "server-error") return Answer::serverError;
    return Answer::normal;
}

void StandInLlamaServer::accept()
{
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
    }
}

void StandInLlamaServer::read(QTcpSocket* socket)
{
    QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
    socket->setProperty("buffer", buffer);
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0 || socket->property("answered").toBool()) return;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    qsizetype length = 0;
    for (const QByteArray& line : lines) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == "content-length")
            length = line.mid(colon + 1).trimmed().toLongLong();
    }
    if (buffer.size() < headEnd + 4 + length) return;
    socket->setProperty("answered", true);
    Request request{first.value(0), first.value(1), buffer.mid(headEnd + 4, length)};
    requests_.push_back(request);
    respond(socket, request);
}

void StandInLlamaServer::respond(QTcpSocket* socket, const Request& request)
{
    if (request.path == "/health") {
        const bool healthy = QDateTime::currentMSecsSinceEpoch() - listenedAtMs_ >= behaviour.healthyAfterMs;
        send(socket, healthy ? 200 : 503, healthy ? "{\"status\":\"ok\"}" : "{\"status\":\"loading model\"}");
    } else if (request.path == "/v1/models") {
        send(socket, 200, "{\"object\":\"list\",\"data\":[{\"id\":\"" + jsonEscaped(behaviour.alias) + "\"}]}");
    } else if (request.path == "/v1/chat/completions" && request.method == "POST") {
        QPointer<QTcpSocket> guard(socket);
        QTimer::singleShot(behaviour.answerDelayMs, this, [this, guard, request] {
            if (guard) answerChat(guard, request);
        });
    } else {
        send(socket, 404, "{\"error\":\"not found\"}");
    }
}

void StandInLlamaServer::answerChat(QTcpSocket* socket, const Request& request)
{
    if (chatsSeen_++ < behaviour.failFirstChats) {
        send(socket, 503, "{\"error\":\"busy\"}");
        return;
    }
    QString question;
    const QJsonArray messages = QJsonDocument::fromJson(request.body).object().value("messages").toArray();
    for (const auto& m : messages)
        if (m.toObject().value("role").toString() == "user") question = m.toObject().value("content").toString();
    switch (behaviour.answer) {
    case Answer::normal: send(socket, 200, chatBody(jsonEscaped("Stand-in answer: " + question))); break;
    case Answer::blank: send(socket, 200, chatBody(" \\n\\t ")); break;
    case Answer::garbage: send(socket, 200, "{\"choices\": [ {\"message\": oops"); break;
    case Answer::html:
        send(socket, 200, "<html><body><b>Hello</b><img src=x onerror=alert(1)></body></html>", "text/html");
        break;
    case Answer::invalidUtf8: send(socket, 200, chatBody("caf\xC3\x28 \xFF\xFE")); break;
    case Answer::redirect:
        send(socket, 302, {}, "text/plain", "Location: http://127.0.0.2:9/v1/chat/completions\r\n");
        break;
    case Answer::huge: send(socket, 200, chatBody(QByteArray(12 * 1024 * 1024, 'a'))); break;
    case Answer::serverError: send(socket, 500, "{\"error\":\"boom\"}"); break;
    }
}

}  // namespace korvalen::test
