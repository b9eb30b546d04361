#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <vector>

class QTcpServer;
class QTcpSocket;

namespace korvalen::test {

// A small OpenAI-compatible chat server on loopback for tests: "/health", "/v1/models" and
// "/v1/chat/completions", each answered once per connection. It can be told to be slow, to fail
// the first requests, to become healthy late, or to answer with something hostile.
class StandInLlamaServer : public QObject {
    Q_OBJECT

public:
    enum class Answer {
        normal,       // {"choices":[{"message":{"content":"Stand-in answer: <last user text>"}}]}
        blank,        // content of blanks and line breaks only
        garbage,      // not JSON
        html,         // an HTML page with status 200
        invalidUtf8,  // JSON whose content holds bytes that are not UTF-8
        redirect,     // 302 to another loopback address
        huge,         // a valid answer of several megabytes
        serverError,  // status 500
    };
    struct Behaviour {
        Answer answer = Answer::normal;
        int answerDelayMs = 0;   // before each chat answer
        int failFirstChats = 0;  // this many chat requests get status 503 first
        int healthyAfterMs = 0;  // "/health" answers 503 until this long after listen()
        QString alias = "local-model";
    };
    struct Request {
        QByteArray method;
        QByteArray path;
        QByteArray body;
    };

    explicit StandInLlamaServer(QObject* parent = nullptr);
    ~StandInLlamaServer() override;

    // Port 0 picks a free one. False when the address is taken.
    bool listen(quint16 port = 0, const QString& host = "127.0.0.1");
    void close();
    quint16 port() const;
    QString endpoint() const;  // "http://127.0.0.1:<port>/v1"

    Behaviour behaviour;
    const std::vector<Request>& requests() const { return requests_; }
    int chatRequestCount() const;

    static Answer answerFromName(const QString& name);

private:
    void accept();
    void read(QTcpSocket* socket);
    void respond(QTcpSocket* socket, const Request& request);
    void answerChat(QTcpSocket* socket, const Request& request);

    QTcpServer* server_;
    qint64 listenedAtMs_ = 0;
    int chatsSeen_ = 0;
    std::vector<Request> requests_;
};

}  // namespace korvalen::test
