#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <vector>

class QTcpServer;
class QTcpSocket;

namespace korvalen::test {

// A small OpenAI-compatible chat server on loopback for tests: "/health", "/v1/models" and
// "/v1/chat/completions", answered in the shapes real servers send (completion id, usage, refusal,
// OpenAI-style error bodies, the engine's "Loading model" health answer) on kept-alive
// connections. It can be told to be slow, to fail the first requests, to become healthy late, or
// to answer with something empty, cut short or hostile.
class StandInLlamaServer : public QObject {
    Q_OBJECT

public:
    enum class Answer {
        normal,             // a chat completion whose content is "Stand-in answer: <last user text>"
        blank,              // content of blanks and line breaks only
        emptyText,          // content ""
        nullContent,        // content null, no refusal
        refusal,            // content null and a refusal text
        invisible,          // content of a zero-width space, a word joiner and a byte-order mark among blanks
        lengthCut,          // the answer cut short: finish_reason "length"
        reasoningOnly,      // "<think>…</think>" and nothing after it
        unclosedReasoning,  // "<think>…" never closed
        reasoningThenAnswer,
        garbage,         // not JSON
        html,            // an HTML page with status 200
        invalidUtf8,     // JSON whose content holds bytes that are not UTF-8
        redirect,        // 302 to another loopback address
        huge,            // a valid answer of several megabytes
        serverError,     // status 500 with an error body
        hugeHeader,      // a header line of hugeHeaderBytes before the answer
        trickle,         // a normal answer, one byte every trickleIntervalMs
        endlessChunked,  // a chunked body that never ends
        chunked,         // a normal answer in chunked transfer encoding
    };
    struct Behaviour {
        Answer answer = Answer::normal;
        int answerDelayMs = 0;   // before each chat answer
        int failFirstChats = 0;  // this many chat requests get failStatus first
        int failStatus = 503;
        int dropFirstChats = 0;  // this many chat requests see the connection closed, unanswered
        int healthyAfterMs = 0;  // "/health" answers 503 "Loading model" until this long after listen()
        int modelsAfterMs = 0;   // and "/v1/models" until this long
        QString alias = "local-model";
        qsizetype hugeHeaderBytes = 4 * 1024 * 1024;
        int trickleIntervalMs = 1000;
        bool closeEveryConnection = false;  // after one answer, kept alive or not
    };
    struct Request {
        QByteArray method;
        QByteArray path;
        QByteArray body;
        bool close = false;  // the client asked for "Connection: close"
    };

    explicit StandInLlamaServer(QObject* parent = nullptr);
    ~StandInLlamaServer() override;

    // Port 0 picks a free one. False when the address is taken.
    bool listen(quint16 port = 0, const QString& host = "127.0.0.1");
    bool listen(quint16 port, const QHostAddress& address);  // QHostAddress::Any: IPv4 and IPv6 at once
    void close();
    quint16 port() const;
    QString endpoint() const;  // "http://127.0.0.1:<port>/v1"

    Behaviour behaviour;
    const std::vector<Request>& requests() const { return requests_; }
    int chatRequestCount() const;
    // Connections not closed yet, by either side.
    int openConnectionCount() const { return openConnections_; }

    static Answer answerFromName(const QString& name);

private:
    void accept();
    void read(QTcpSocket* socket);
    void respond(QTcpSocket* socket, const Request& request);
    void answerChat(QTcpSocket* socket, const Request& request);
    void send(QTcpSocket* socket, int status, const QByteArray& body, const QByteArray& type = "application/json",
              const QByteArray& extraHeaders = {});
    void trickle(QTcpSocket* socket, QByteArray rest);
    void sendChunksForever(QTcpSocket* socket);

    QTcpServer* server_;
    qint64 listenedAtMs_ = 0;
    int chatsSeen_ = 0;
    int openConnections_ = 0;
    std::vector<Request> requests_;
};

}  // namespace korvalen::test
