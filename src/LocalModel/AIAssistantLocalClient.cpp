#include "LocalModel/AIAssistantLocalClient.h"
#include "LocalModel/LoopbackNetwork.h"

#include "Model/KorvalenAILogger.h"
#include "Platform/Async/Async.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QStringDecoder>

#include <memory>

namespace korvalen {

LocalModelError::LocalModelError(Kind kind, int status) : kind_(kind), status_(status)
{
    switch (kind) {
    case Kind::server: text_ = "Local model server returned HTTP " + std::to_string(status) + "."; break;
    case Kind::invalidEndpoint: text_ = "Invalid local-model endpoint."; break;
    case Kind::nonLoopbackEndpoint: text_ = "Only localhost or loopback endpoints are allowed."; break;
    case Kind::invalidResponse: text_ = "The local model returned an invalid response."; break;
    case Kind::emptyResponse: text_ = "The local model returned an empty answer."; break;
    }
}

namespace AIAssistantLocalClient {

namespace {

struct Exchange {
    int status = 0;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QString errorText;
    QByteArray body;
    bool tooLarge = false;
    bool cancelled = false;
};

// Awaits one reply; aborts it when it grows past the cap or the flag is set.
struct ReplyAwaiter {
    QNetworkReply* reply;
    CancelFlag cancel;
    std::int64_t cap;
    std::shared_ptr<Exchange> exchange = std::make_shared<Exchange>();
    std::uint64_t cancelKey = 0;

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> awaiting)
    {
        auto state = exchange;
        QNetworkReply* r = reply;
        auto guard = [r, state, cap = cap](qint64 received, qint64 total) {
            if (received > cap || total > cap) {
                state->tooLarge = true;
                r->abort();
            }
        };
        QObject::connect(r, &QNetworkReply::downloadProgress, r, guard);
        QObject::connect(r, &QNetworkReply::finished, r, [awaiting] { detail::resumeOnMain(awaiting); });
        QPointer<QNetworkReply> weak(r);
        cancelKey = cancel.onCancel([weak, state] {
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [weak, state] {
                    if (weak && !weak->isFinished()) {
                        state->cancelled = true;
                        weak->abort();
                    }
                },
                Qt::QueuedConnection);
        });
    }
    std::shared_ptr<Exchange> await_resume()
    {
        cancel.forget(cancelKey);
        exchange->status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        exchange->error = reply->error();
        exchange->errorText = reply->errorString();
        if (!exchange->tooLarge && !exchange->cancelled) exchange->body = reply->readAll();
        if (exchange->body.size() > cap) exchange->tooLarge = true;
        reply->deleteLater();
        return exchange;
    }
};

bool isTransient(const Exchange& e)
{
    if (e.cancelled || e.tooLarge) return false;
    if (e.status == 502 || e.status == 503 || e.status == 504) return true;
    if (e.status != 0) return false;
    return e.error == QNetworkReply::ConnectionRefusedError || e.error == QNetworkReply::RemoteHostClosedError ||
           e.error == QNetworkReply::TemporaryNetworkFailureError;
}

std::string reasonText(const Exchange& e)
{
    if (e.status != 0) return "HTTP " + std::to_string(e.status);
    return e.errorText.toStdString();
}

std::string trimmedText(const std::string& text)
{
    return QString::fromStdString(text).trimmed().toStdString();
}

}  // namespace

Options& options()
{
    static Options current;
    return current;
}

bool isLoopbackHost(const QString& host)
{
    QString h = host.trimmed().toLower();
    if (h == "localhost") return true;
    if (h.startsWith('[') && h.endsWith(']')) h = h.mid(1, h.size() - 2);
    QHostAddress address;
    if (!address.setAddress(h)) return false;
    return address.isLoopback();
}

QUrl chatCompletionsURL(const std::string& endpoint)
{
    QString text = QString::fromStdString(endpoint).trimmed();
    if (text.isEmpty()) throw LocalModelError::invalidEndpoint();
    if (!text.contains("://")) text.prepend("http://");
    QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != "http" && scheme != "https") || url.host().isEmpty())
        throw LocalModelError::invalidEndpoint();
    if (!isLoopbackHost(url.host())) throw LocalModelError::nonLoopbackEndpoint();
    QString path = url.path();
    while (path.endsWith('/')) path.chop(1);
    if (!path.endsWith("/chat/completions")) path += "/chat/completions";
    url.setPath(path);
    return url;
}

QByteArray requestBody(const std::string& model, const std::string& prompt,
                       const std::vector<LocalChatTurn>& conversation, const std::string& systemText)
{
    QJsonArray messages;
    messages.append(QJsonObject{{"role", "system"}, {"content", QString::fromStdString(systemText)}});
    bool endsWithPrompt = false;
    for (const LocalChatTurn& turn : conversation) {
        if ((turn.role != "user" && turn.role != "assistant") || trimmedText(turn.text).empty()) continue;
        messages.append(
            QJsonObject{{"role", QString::fromStdString(turn.role)}, {"content", QString::fromStdString(turn.text)}});
        endsWithPrompt = turn.role == "user" && trimmedText(turn.text) == trimmedText(prompt);
    }
    // The conversation normally ends with the question already; sending it twice would make the
    // model answer a question it was asked twice in a row.
    if (!endsWithPrompt) messages.append(QJsonObject{{"role", "user"}, {"content", QString::fromStdString(prompt)}});
    QJsonObject body{{"model", QString::fromStdString(model)}, {"messages", messages}, {"stream", false}};
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

std::string answerText(const QByteArray& body)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = utf8.decode(body);
    if (utf8.hasError()) throw LocalModelError::invalidResponse();
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(decoded.toUtf8(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) throw LocalModelError::invalidResponse();
    const QJsonValue choices = document.object().value("choices");
    if (!choices.isArray()) throw LocalModelError::invalidResponse();
    if (choices.toArray().isEmpty()) throw LocalModelError::emptyResponse();
    const QJsonValue first = choices.toArray().first();
    if (!first.isObject() || !first.toObject().value("message").isObject()) throw LocalModelError::invalidResponse();
    const QJsonValue content = first.toObject().value("message").toObject().value("content");
    if (content.isNull() || content.isUndefined()) throw LocalModelError::emptyResponse();
    if (!content.isString()) throw LocalModelError::invalidResponse();
    QString text = content.toString();
    // Reasoning models may put their thinking first; the user asked for the answer.
    if (text.trimmed().startsWith("<think>")) {
        const qsizetype end = text.indexOf("</think>");
        if (end >= 0) text = text.mid(end + 8);
    }
    return text.toStdString();
}

Task<std::string> generate(std::string endpoint, std::string model, std::string prompt,
                           std::vector<LocalChatTurn> conversation, std::string expertContext, bool managedQwen,
                           bool benchmarkContext, CancelFlag cancel)
{
    const QUrl url = chatCompletionsURL(endpoint);
    const QByteArray body = requestBody(model, prompt, conversation, expertContext);
    KorvalenAILogger::info(
        "ASSISTANT_LOCAL_REQUEST benchmark_context=" + std::string(benchmarkContext ? "true" : "false") +
        " managed=" + (managedQwen ? "true" : "false") + " host=" + url.host().toStdString() + " port=" +
        std::to_string(url.port(url.scheme() == "https" ? 443 : 80)) + " bytes=" + std::to_string(body.size()));
    const Options limits = options();
    for (int attempt = 0;; ++attempt) {
        if (cancel.isCancelled()) throw LocalTaskCancelled();
        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        request.setRawHeader("Accept", "application/json");
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        request.setTransferTimeout(static_cast<int>(limits.transferTimeout.count()));
        QNetworkReply* reply = loopbackNetwork().post(request, body);
        ReplyAwaiter awaiter{reply, cancel, limits.maxResponseBytes};
        std::shared_ptr<Exchange> result = co_await awaiter;
        const Exchange& e = *result;
        if (e.cancelled || cancel.isCancelled()) throw LocalTaskCancelled();
        if (attempt == 0 && isTransient(e)) {
            KorvalenAILogger::info("ASSISTANT_LOCAL_RETRY reason=" + reasonText(e));
            SleepAwaiter pause = sleepFor(limits.retryDelay, cancel);
            if (!co_await pause) throw LocalTaskCancelled();
            continue;
        }
        if (e.tooLarge) throw LocalModelError::invalidResponse();
        if (e.status != 0 && (e.status < 200 || e.status > 299)) throw LocalModelError::server(e.status);
        if (e.error == QNetworkReply::OperationCanceledError)
            throw LocalTransportError("The local model did not answer within " +
                                      std::to_string(limits.transferTimeout.count() / 1000) + " seconds.");
        if (e.error != QNetworkReply::NoError) throw LocalTransportError(e.errorText.toStdString());
        co_return answerText(e.body);
    }
}

}  // namespace AIAssistantLocalClient

}  // namespace korvalen
