#include "LocalModel/AIAssistantLocalClient.h"
#include "LocalModel/LoopbackNetwork.h"

#include "Model/KorvalenAILogger.h"
#include "Platform/Async/Async.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

#include <algorithm>
#include <memory>
#include <optional>

namespace korvalen {

namespace {

// "8 MiB", "512 KiB" or "1000 bytes": the unit that states the limit exactly.
std::string sizeText(std::int64_t bytes)
{
    if (bytes > 0 && bytes % (1024 * 1024) == 0) return std::to_string(bytes / (1024 * 1024)) + " MiB";
    if (bytes > 0 && bytes % 1024 == 0) return std::to_string(bytes / 1024) + " KiB";
    return std::to_string(bytes) + " bytes";
}

}  // namespace

LocalModelError::LocalModelError(Kind kind, int status, std::int64_t limitBytes) : kind_(kind), status_(status)
{
    switch (kind) {
    case Kind::server: text_ = "Local model server returned HTTP " + std::to_string(status) + "."; break;
    case Kind::invalidEndpoint: text_ = "Invalid local-model endpoint."; break;
    case Kind::nonLoopbackEndpoint: text_ = "Only localhost or loopback endpoints are allowed."; break;
    case Kind::invalidResponse: text_ = "The local model returned an invalid response."; break;
    case Kind::emptyResponse: text_ = "The local model returned an empty answer."; break;
    case Kind::responseTooLarge:
        text_ = "The local model returned a response larger than the " + sizeText(limitBytes) + " limit.";
        break;
    case Kind::requestTooLarge:
        text_ = "The question is too large to send to the local model: a request holds at most " +
                sizeText(limitBytes) + ".";
        break;
    }
}

namespace AIAssistantLocalClient {

namespace {

using Outcome = LoopbackHttpResult::Outcome;

// A failure worth one more try: the server was not listening yet, dropped the connection before
// answering, or said it is busy. Anything it did answer, however wrong, is not sent again.
bool isTransient(const LoopbackHttpResult& e)
{
    if (e.outcome == Outcome::refused || e.outcome == Outcome::closedEarly) return true;
    return e.outcome == Outcome::complete && (e.status == 502 || e.status == 503 || e.status == 504);
}

std::string reasonText(const LoopbackHttpResult& e)
{
    if (e.outcome == Outcome::complete) return "HTTP " + std::to_string(e.status);
    if (e.outcome == Outcome::closedEarly) return "connection closed before an answer";
    return e.errorText.toStdString();
}

std::string seconds(std::chrono::milliseconds duration)
{
    return std::to_string(duration.count() / 1000);
}

// Whether the text is white space alone, as QString::trimmed() sees it, told from its first
// characters: in the whole text decoded, a character decoded from a few bytes on is there too,
// unless a sequence cut short made it. Only a text that opens with white space beyond those few
// bytes is decoded whole, into `decoded`.
bool isBlank(const std::string& text, QString& decoded)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == ' ' || (c >= '\t' && c <= '\r')) continue;
        if (c < 0x80) return false;
        const std::size_t few = std::min<std::size_t>(text.size() - i, 16);
        for (const QChar d : QString::fromUtf8(text.data() + i, static_cast<qsizetype>(few)))
            if (!d.isSpace() && d != QChar::ReplacementCharacter) return false;
        decoded = QString::fromStdString(text);
        return decoded.trimmed().isEmpty();
    }
    return true;
}

// A turn of the conversation that may be sent, decoded once when first needed.
struct SentTurn {
    const LocalChatTurn* turn;
    QString text;  // null until decoded; a turn sent is never empty

    const QString& decoded()
    {
        if (text.isNull()) text = QString::fromStdString(turn->text);
        return text;
    }
};

QByteArray compactJson(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// One message of the body as it reads there: {"content":..,"role":..}.
QByteArray message(const QString& role, const QString& content)
{
    return compactJson(QJsonObject{{"role", role}, {"content", content}});
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
    // Only questions and answers that say something are sent.
    std::vector<SentTurn> turns;
    for (const LocalChatTurn& turn : conversation) {
        if (turn.role != "user" && turn.role != "assistant") continue;
        SentTurn sent{&turn, {}};
        if (!isBlank(turn.text, sent.text)) turns.push_back(std::move(sent));
    }
    // The body is the envelope with the messages spliced in after its "[", each put into JSON once:
    // a conversation of long pasted questions is not escaped again for every cut tried.
    const QByteArray envelope = compactJson(
        QJsonObject{{"model", QString::fromStdString(model)}, {"messages", QJsonArray()}, {"stream", false}});
    const qsizetype messagesAt = envelope.indexOf('[') + 1;
    const QByteArray system = message("system", QString::fromStdString(systemText));
    // The prompt is decoded only when its own message is sent or the comparison below needs it.
    std::optional<QString> promptText;
    const auto decodedPrompt = [&]() -> const QString& {
        if (!promptText) promptText = QString::fromStdString(prompt);
        return *promptText;
    };
    // The conversation normally ends with the question already, the same bytes; sending it twice
    // would make the model answer a question it was asked twice in a row.
    const bool endsWithPrompt = !turns.empty() && turns.back().turn->role == "user" &&
                                (turns.back().turn->text == prompt || QStringView(turns.back().decoded()).trimmed() ==
                                                                          QStringView(decodedPrompt()).trimmed());
    QByteArray promptMessage;
    if (!endsWithPrompt) promptMessage = message("user", decodedPrompt());

    // Long pasted questions can make a request larger than a server takes: the oldest turns are left
    // out until it fits, and a question too large on its own is refused with its reason. From the
    // newest turn back, until one more would pass the limit.
    const std::int64_t limit = options().maxRequestBytes;
    std::int64_t size = envelope.size() + system.size() + (endsWithPrompt ? 0 : promptMessage.size() + 1);
    std::vector<QByteArray> messages(turns.size());
    std::size_t first = turns.size();  // the oldest turn sent
    for (std::size_t i = turns.size(); i-- > 0 && size <= limit;) {
        // A turn's message takes more bytes than its UTF-8 text: each ill-formed byte becomes a
        // U+FFFD of three, and the keys outweigh a leading byte-order mark that decoding drops. A
        // turn that cannot fit is neither decoded nor put into JSON.
        if (size + 1 + static_cast<std::int64_t>(turns[i].turn->text.size()) > limit) break;
        messages[i] = message(QString::fromStdString(turns[i].turn->role), turns[i].decoded());
        size += messages[i].size() + 1;
        if (size > limit) break;
        // Cut just before an answer, the rest would open with it, its question gone: many chat
        // templates refuse a conversation whose roles do not alternate.
        if (i == 0 || turns[i].turn->role == "user") first = i;
    }
    // No turn fits: the question alone, as it was asked.
    if (first == turns.size() && endsWithPrompt) promptMessage = message("user", decodedPrompt());
    std::int64_t total = envelope.size() + system.size() + (promptMessage.isEmpty() ? 0 : promptMessage.size() + 1);
    for (std::size_t i = first; i < turns.size(); ++i) total += messages[i].size() + 1;
    if (total > limit) throw LocalModelError::requestTooLarge(limit);
    QByteArray body;
    body.reserve(total);
    body.append(QByteArrayView(envelope).first(messagesAt)).append(system);
    for (std::size_t i = first; i < turns.size(); ++i) body.append(',').append(messages[i]);
    if (!promptMessage.isEmpty()) body.append(',').append(promptMessage);
    return body.append(QByteArrayView(envelope).sliced(messagesAt));
}

bool isInvisible(const QString& text)
{
    for (const char32_t c : QStringView(text).toUcs4()) {
        if (QChar::isSpace(c)) continue;
        const QChar::Category category = QChar::category(c);
        if (category == QChar::Other_Format || category == QChar::Other_Control) continue;
        // Drawn as nothing though not format characters: the combining grapheme joiner, the
        // Hangul fillers and the variation selectors.
        if (c == 0x034F || c == 0x115F || c == 0x1160 || c == 0x3164 || c == 0xFFA0 || (c >= 0x180B && c <= 0x180F) ||
            (c >= 0xFE00 && c <= 0xFE0F) || (c >= 0xE0100 && c <= 0xE01EF))
            continue;
        return false;
    }
    return true;
}

namespace {

// JSON may escape a surrogate alone ("\ud800"), which no UTF-8 text can hold: it becomes U+FFFD, as
// any ill-formed sequence does in a decoder, rather than the "?" that a conversion would make of
// it. The rest of the answer is kept: the body itself was valid UTF-8 and valid JSON.
QString withLoneSurrogatesReplaced(QString text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!text.at(i).isSurrogate()) continue;
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            ++i;
            continue;
        }
        text[i] = QChar::ReplacementCharacter;
    }
    return text;
}

}  // namespace

LocalAnswer parseAnswer(const QByteArray& body)
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
    const QJsonObject message = first.toObject().value("message").toObject();
    const QJsonValue content = message.value("content");
    if (!content.isNull() && !content.isUndefined() && !content.isString()) throw LocalModelError::invalidResponse();
    QString text = withLoneSurrogatesReplaced(content.toString());
    // Reasoning models may put their thinking first; the user asked for the answer. Thinking that
    // never ends, or is all there is, is no answer.
    if (text.trimmed().startsWith("<think>")) {
        const qsizetype end = text.indexOf("</think>");
        text = end < 0 ? QString() : text.mid(end + 8);
    }
    const bool cut = first.toObject().value("finish_reason").toString() == "length";
    if (!isInvisible(text)) return LocalAnswer{text.toStdString(), cut};
    // A model that declines says so in a field of its own: that is its answer.
    const QString refusal = withLoneSurrogatesReplaced(message.value("refusal").toString());
    if (message.value("refusal").isString() && !isInvisible(refusal)) return LocalAnswer{refusal.toStdString(), cut};
    throw LocalModelError::emptyResponse();
}

Task<LocalAnswer> generate(std::string endpoint, std::string model, std::string prompt,
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
    LoopbackHttpLimits bounds;
    bounds.inactivity = limits.transferTimeout;
    bounds.whole = limits.requestTimeout;
    bounds.maxHeaderBytes = limits.maxHeaderBytes;
    bounds.maxBodyBytes = limits.maxResponseBytes;
    for (int attempt = 0;; ++attempt) {
        if (cancel.isCancelled()) throw LocalTaskCancelled();
        Task<LoopbackHttpResult> exchange = loopbackRequest(url, "POST", body, bounds, cancel);
        const LoopbackHttpResult e = co_await std::move(exchange);
        if (e.outcome == Outcome::cancelled || cancel.isCancelled()) throw LocalTaskCancelled();
        if (attempt == 0 && isTransient(e)) {
            KorvalenAILogger::info("ASSISTANT_LOCAL_RETRY reason=" + reasonText(e));
            SleepAwaiter pause = sleepFor(limits.retryDelay, cancel);
            if (!co_await pause) throw LocalTaskCancelled();
            continue;
        }
        switch (e.outcome) {
        case Outcome::complete:
            if (e.status < 200 || e.status > 299) throw LocalModelError::server(e.status);
            co_return parseAnswer(e.body);
        case Outcome::malformed:
        case Outcome::headersTooLarge: throw LocalModelError::invalidResponse();
        case Outcome::bodyTooLarge: throw LocalModelError::responseTooLarge(limits.maxResponseBytes);
        case Outcome::inactivityTimeout:
            throw LocalTransportError("The local model did not answer within " + seconds(limits.transferTimeout) +
                                      " seconds.");
        case Outcome::wholeTimeout:
            throw LocalTransportError("The local model did not finish its answer within " +
                                      seconds(limits.requestTimeout) + " seconds.");
        case Outcome::broken:
            throw LocalTransportError("The local model closed the connection before its answer was complete.");
        case Outcome::closedEarly:
            throw LocalTransportError("The local model closed the connection without answering.");
        case Outcome::refused:
        case Outcome::socketError:
        case Outcome::cancelled: break;
        }
        throw LocalTransportError(e.errorText.toStdString());
    }
}

}  // namespace AIAssistantLocalClient

}  // namespace korvalen
