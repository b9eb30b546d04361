#include "LocalModel/AIAssistantLocalClient.h"

#include "StandInLlamaServer.h"
#include "support/LogCapture.h"
#include "support/TaskResult.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <variant>

namespace korvalen {
namespace {

using test::StandInLlamaServer;
namespace Client = AIAssistantLocalClient;

class LocalClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::qtApp();
        saved_ = Client::options();
        Client::options().retryDelay = std::chrono::milliseconds(10);
        ASSERT_TRUE(server.listen());
    }
    void TearDown() override { Client::options() = saved_; }

    auto ask(const QString& endpoint, std::vector<LocalChatTurn> conversation = {{"user", "How fast is it?"}})
    {
        return test::await(Client::generate(endpoint.toStdString(), "local-model", "How fast is it?",
                                            std::move(conversation), "system text", false, true));
    }

    StandInLlamaServer server;
    testing::LogCapture log;
    Client::Options saved_;
};

TEST(LocalClientEndpoint, OnlyLoopbackEndpointsBecomeChatAddresses)
{
    struct Case {
        const char* endpoint;
        const char* url;  // empty: refused
        LocalModelError::Kind refusal = LocalModelError::Kind::invalidEndpoint;
    };
    const Case cases[] = {
        {"127.0.0.1:8080/v1", "http://127.0.0.1:8080/v1/chat/completions"},
        {"  http://localhost:18080\n", "http://localhost:18080/chat/completions"},
        {"http://127.4.5.6:9/v1/chat/completions/", "http://127.4.5.6:9/v1/chat/completions"},
        {"http://[::1]:8080/v1/", "http://[::1]:8080/v1/chat/completions"},
        {"http://10.0.0.1:8080/v1", "", LocalModelError::Kind::nonLoopbackEndpoint},
        {"https://example.com/v1", "", LocalModelError::Kind::nonLoopbackEndpoint},
        {"http://127.0.0.1.example.com/v1", "", LocalModelError::Kind::nonLoopbackEndpoint},
        {"http://localhost.example.com:8080", "", LocalModelError::Kind::nonLoopbackEndpoint},
        {"http://[::ffff:10.0.0.1]:8080", "", LocalModelError::Kind::nonLoopbackEndpoint},
        {"ftp://127.0.0.1/v1", "", LocalModelError::Kind::invalidEndpoint},
        {"", "", LocalModelError::Kind::invalidEndpoint},
        {"http://", "", LocalModelError::Kind::invalidEndpoint},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.endpoint);
        if (*c.url) {
            EXPECT_EQ(Client::chatCompletionsURL(c.endpoint).toString().toStdString(), c.url);
            continue;
        }
        try {
            Client::chatCompletionsURL(c.endpoint);
            ADD_FAILURE() << "accepted";
        } catch (const LocalModelError& e) {
            EXPECT_EQ(e.kind(), c.refusal);
        }
    }
}

TEST(LocalClientRequest, TheQuestionReachesTheModelOnce)
{
    auto userTexts = [](const QByteArray& body) {
        QStringList texts;
        for (const auto& m : QJsonDocument::fromJson(body).object().value("messages").toArray())
            texts << m.toObject().value("role").toString() + ":" + m.toObject().value("content").toString();
        return texts;
    };
    // The conversation already ends with the question: it is not added again.
    EXPECT_EQ(userTexts(Client::requestBody("m", "Why?", {{"assistant", "Hello"}, {"user", "Why?"}}, "sys")),
              (QStringList{"system:sys", "assistant:Hello", "user:Why?"}));
    // Without it (or after an empty placeholder), the question is the last user message.
    EXPECT_EQ(userTexts(Client::requestBody("m", "Why?", {{"user", "Before"}, {"assistant", " "}}, "sys")),
              (QStringList{"system:sys", "user:Before", "user:Why?"}));
    // The answer is read whole, never streamed.
    const QJsonObject body = QJsonDocument::fromJson(Client::requestBody("m", "Why?", {}, "sys")).object();
    EXPECT_EQ(body.value("stream"), QJsonValue(false));
    EXPECT_EQ(body.value("model"), QJsonValue("m"));
}

// A request over the cap leaves out the oldest turns, up to a question: what is kept opens with one,
// never with an answer whose question was left out. A question too large on its own is refused.
TEST(LocalClientRequest, ARequestOverItsCapLeavesOutTheOldestTurnsOrIsRefused)
{
    const Client::Options saved = Client::options();
    Client::options().maxRequestBytes = 400;
    const std::string long100(100, 'x');
    struct Case {
        const char* name;
        std::vector<LocalChatTurn> turns;
        QStringList kept;  // each message's first character
    };
    const Case cases[] = {
        {"one question left out",
         {{"user", "1" + long100}, {"assistant", "2"}, {"user", "3" + long100}, {"assistant", "4" + long100}},
         {"s", "3", "4", "W"}},
        {"an answer would open the rest",
         {{"user", "1" + long100}, {"assistant", "2" + long100}, {"user", "3" + long100}, {"user", "Why?"}},
         {"s", "3", "W"}},
        {"an empty question before the answer",
         {{"user", "1" + long100}, {"user", " "}, {"assistant", "2" + long100}, {"user", "3" + long100}},
         {"s", "3", "W"}},
        {"only an answer fits", {{"user", "1" + long100 + long100}, {"assistant", "2" + long100}}, {"s", "W"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray body = Client::requestBody("m", "Why?", c.turns, "sys");
        EXPECT_LE(body.size(), 400);
        QStringList kept;
        for (const auto& m : QJsonDocument::fromJson(body).object().value("messages").toArray())
            kept << m.toObject().value("content").toString().left(1);
        EXPECT_EQ(kept, c.kept);
    }
    try {
        Client::requestBody("m", std::string(400, '"'), {}, "sys");
        ADD_FAILURE() << "sent";
    } catch (const LocalModelError& e) {
        EXPECT_EQ(e.kind(), LocalModelError::Kind::requestTooLarge);
        EXPECT_STREQ(e.what(),
                     "The question is too large to send to the local model: a request holds at most 400 bytes.");
    }
    Client::options() = saved;
}

// The body as one document of the kept messages, every cut tried in turn from the oldest: what
// requestBody must send byte for byte, however it gets there. Empty when nothing fits.
QByteArray wholeDocumentBody(const std::string& prompt, const std::vector<LocalChatTurn>& conversation,
                             std::int64_t limit)
{
    const auto text = [](const std::string& t) { return QString::fromStdString(t); };
    std::vector<LocalChatTurn> turns;
    for (const LocalChatTurn& turn : conversation)
        if ((turn.role == "user" || turn.role == "assistant") && !text(turn.text).trimmed().isEmpty())
            turns.push_back(turn);
    for (std::size_t first = 0; first <= turns.size(); ++first) {
        if (first > 0 && first < turns.size() && turns[first].role != "user") continue;
        QJsonArray messages{QJsonObject{{"role", "system"}, {"content", "sys\u2028\"\x01"}}};
        for (std::size_t i = first; i < turns.size(); ++i)
            messages.append(QJsonObject{{"role", text(turns[i].role)}, {"content", text(turns[i].text)}});
        if (first == turns.size() || turns.back().role != "user" ||
            text(turns.back().text).trimmed() != text(prompt).trimmed())
            messages.append(QJsonObject{{"role", "user"}, {"content", text(prompt)}});
        const QJsonObject body{{"model", "m\"\\"}, {"messages", messages}, {"stream", false}};
        const QByteArray bytes = QJsonDocument(body).toJson(QJsonDocument::Compact);
        if (bytes.size() <= limit) return bytes;
    }
    return {};
}

// Under every cap from nothing to all, the body sent is the whole document of what it keeps.
TEST(LocalClientRequest, TheBodyIsOneDocumentOfWhatItKeeps)
{
    const Client::Options saved = Client::options();
    struct Case {
        const char* name;
        std::string prompt;
        std::vector<LocalChatTurn> turns;
    };
    const Case cases[] = {
        {"no conversation", "Why?", {}},
        {"the question asked again, spaced differently", "Why?", {{"assistant", "Hello"}, {"user", "  Why?\n"}}},
        {"the question not asked yet", "Why?", {{"user", "Before"}, {"assistant", " "}}},
        {"blank and foreign turns",
         "Now?",
         {{"user", "a\u00a0"},
          {"user", " \t\r\n\v\f"},
          {"assistant", "\u00a0\u3000"},
          {"assistant", "\u3000\u3000\u3000\u3000\u3000\u3000"},
          {"assistant", "\u3000\u3000\u3000\u3000\u3000\u3000?"},
          {"system", "s"},
          {"user", "\x1f"},
          {"assistant", "\u2028"},
          {"user", "\xef\xbb\xbf"},
          {"user", "Now?"}}},
        {"escaped and foreign text",
         "\u00c9preuve \"\\\x01\x7f\u2028 \xff\xc3(",
         {{"assistant", "\u00e9t\u00e9 \U0001F600"},
          {"user", "\u56fe\t\"q\"\\\n"},
          {"assistant", "\u00fc\x02\xed\xa0\x80"},
          {"user", "\u00c9preuve \"\\\x01\x7f\u2028 \xff\xc3("}}},
        // Decoding drops a leading byte-order mark: the one text whose message is shorter than its
        // bytes with the keys added.
        {"a question opening with a byte-order mark", "Now?", {{"user", "\xef\xbb\xbfWhy?"}, {"user", "Now?"}}},
        {"answers between long questions",
         "Last",
         {{"assistant", std::string(30, 'a')},
          {"user", std::string(50, 'q')},
          {"assistant", std::string(20, 'a')},
          {"assistant", std::string(20, 'b')},
          {"user", std::string(60, 'r')},
          {"assistant", "ok"},
          {"user", "Last"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const qsizetype all = wholeDocumentBody(c.prompt, c.turns, 1 << 20).size();
        for (std::int64_t limit = 0; limit <= all + 1; ++limit) {
            Client::options().maxRequestBytes = limit;
            const QByteArray expected = wholeDocumentBody(c.prompt, c.turns, limit);
            QByteArray sent;
            try {
                sent = Client::requestBody("m\"\\", c.prompt, c.turns, "sys\u2028\"\x01");
            } catch (const LocalModelError& e) {
                EXPECT_EQ(e.kind(), LocalModelError::Kind::requestTooLarge);
            }
            ASSERT_EQ(sent, expected) << "cap " << limit;
        }
    }
    Client::options() = saved;
}

// What of a chat completion is the answer, and what is no answer at all.
TEST(LocalClientAnswer, WhatABodyAnswers)
{
    using Kind = LocalModelError::Kind;
    struct Case {
        const char* body;
        std::variant<Kind, LocalAnswer> outcome;
    };
    const Case cases[] = {
        {R"({"choices":[]})", Kind::emptyResponse},
        {R"({"choices":[{}]})", Kind::invalidResponse},
        {R"({"choices":["text"]})", Kind::invalidResponse},
        {R"({"choices":[{"message":{"content":7}}]})", Kind::invalidResponse},
        {R"({"object":"list","data":[]})", Kind::invalidResponse},
        // Nothing visible is no answer: zero-width space, word joiner, byte-order mark, soft
        // hyphen, a tag character, a Hangul filler, a variation selector, with or without blanks.
        {R"({"choices":[{"message":{"content":"\u200b"}}]})", Kind::emptyResponse},
        {R"({"choices":[{"message":{"content":" \u2060\n\ufeff\u00ad "}}]})", Kind::emptyResponse},
        {R"({"choices":[{"message":{"content":"\udb40\udc20\u3164\ufe0f\u0000"}}]})", Kind::emptyResponse},
        {R"({"choices":[{"message":{"content":"<think>x</think>\u200b"}}]})", Kind::emptyResponse},
        {R"({"choices":[{"message":{"content":"\u034f\u115f\u1160\uffa0\u180b\ufe00\udb40\uddef"}}]})",
         Kind::emptyResponse},
        {R"({"choices":[{"message":{"content":"\u200bHi\u2060!"}}]})", LocalAnswer{"\u200bHi\u2060!"}},
        // A refusal is the answer when there is no content, never in place of one.
        {R"({"choices":[{"message":{"content":null,"refusal":"I can't help with that."}}]})",
         LocalAnswer{"I can't help with that."}},
        {R"({"choices":[{"message":{"content":"\u200b","refusal":"No."}}]})", LocalAnswer{"No."}},
        {R"({"choices":[{"message":{"content":"Yes.","refusal":"No."}}]})", LocalAnswer{"Yes."}},
        {R"({"choices":[{"message":{"content":null,"refusal":" \u200b"}}]})", Kind::emptyResponse},
        {R"({"choices":[{"message":{"content":null,"refusal":{"text":"No."}}}]})", Kind::emptyResponse},
        // JSON can escape a surrogate that no UTF-8 text holds: alone, it is the replacement
        // character, never a question mark; a pair is the one character it encodes.
        {R"({"choices":[{"message":{"content":"a\ud800b \ud83d\ude00 \udc00\ud800\ud800\udc00 end\ud83d"}}]})",
         LocalAnswer{"a\uFFFDb \U0001F600 \uFFFD\uFFFD\U00010000 end\uFFFD"}},
        {R"({"choices":[{"message":{"content":"\ud800"}}]})", LocalAnswer{"\uFFFD"}},
        {R"({"choices":[{"message":{"content":null,"refusal":"No\udfff"}}]})", LocalAnswer{"No\uFFFD"}},
        // Only the length limit marks the text as cut.
        {R"({"choices":[{"message":{"content":"The CPU is"},"finish_reason":"length"}]})",
         LocalAnswer{"The CPU is", true}},
        {R"({"choices":[{"message":{"content":"Done."},"finish_reason":"stop"}]})", LocalAnswer{"Done."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        try {
            const LocalAnswer answer = Client::parseAnswer(c.body);
            const auto* expected = std::get_if<LocalAnswer>(&c.outcome);
            ASSERT_NE(expected, nullptr) << "accepted";
            EXPECT_EQ(answer.text, expected->text);
            EXPECT_EQ(answer.cutAtLengthLimit, expected->cutAtLengthLimit);
        } catch (const LocalModelError& e) {
            ASSERT_TRUE(std::holds_alternative<Kind>(c.outcome)) << e.what();
            EXPECT_EQ(e.kind(), std::get<Kind>(c.outcome));
        }
    }
    EXPECT_TRUE(Client::isLoopbackHost("[::1]"));
    EXPECT_FALSE(Client::isLoopbackHost("[::2]"));
    EXPECT_FALSE(Client::isLoopbackHost("0127.0.0.1]"));
}

TEST_F(LocalClientTest, AnswersAndHostileResponses)
{
    using Answer = StandInLlamaServer::Answer;
    struct Case {
        const char* name;
        Answer answer;
        std::optional<LocalModelError::Kind> error;
        const char* text = "";
        bool cut = false;
    };
    const Case cases[] = {
        {"normal", Answer::normal, std::nullopt, "Stand-in answer: How fast is it?"},
        {"chunked, with an extension and a trailer", Answer::chunked, std::nullopt, "Stand-in answer: How fast is it?"},
        {"cut short by the length limit", Answer::lengthCut, std::nullopt, "Stand-in ans", true},
        {"a refusal", Answer::refusal, std::nullopt, "I can't help with that."},
        {"reasoning, then the answer", Answer::reasoningThenAnswer, std::nullopt,
         "\n\nStand-in answer: How fast is it?"},
        {"blank content", Answer::blank, LocalModelError::Kind::emptyResponse},
        {"empty content", Answer::emptyText, LocalModelError::Kind::emptyResponse},
        {"null content", Answer::nullContent, LocalModelError::Kind::emptyResponse},
        {"only invisible characters", Answer::invisible, LocalModelError::Kind::emptyResponse},
        {"only reasoning", Answer::reasoningOnly, LocalModelError::Kind::emptyResponse},
        {"reasoning never closed", Answer::unclosedReasoning, LocalModelError::Kind::emptyResponse},
        {"malformed JSON", Answer::garbage, LocalModelError::Kind::invalidResponse},
        {"HTML page", Answer::html, LocalModelError::Kind::invalidResponse},
        {"invalid UTF-8", Answer::invalidUtf8, LocalModelError::Kind::invalidResponse},
        {"redirect is not followed", Answer::redirect, LocalModelError::Kind::server},
        {"body above the cap", Answer::huge, LocalModelError::Kind::responseTooLarge},
        {"headers above the cap", Answer::hugeHeader, LocalModelError::Kind::invalidResponse},
        {"server error", Answer::serverError, LocalModelError::Kind::server},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.behaviour.answer = c.answer;
        const int before = server.chatRequestCount();
        auto outcome = ask(server.endpoint());
        ASSERT_TRUE(outcome->finished);
        EXPECT_EQ(server.chatRequestCount() - before, 1) << "no retry for a definite answer";
        if (!c.error) {
            ASSERT_TRUE(outcome->value) << (outcome->error ? "failed" : "");
            EXPECT_EQ(outcome->value->text, c.text);
            EXPECT_EQ(outcome->value->cutAtLengthLimit, c.cut);
        } else {
            const auto* e = outcome->errorAs<LocalModelError>();
            ASSERT_NE(e, nullptr);
            EXPECT_EQ(e->kind(), *c.error);
            // An answer too large says so, with the limit, not that it was invalid.
            if (*c.error == LocalModelError::Kind::responseTooLarge) {
                EXPECT_STREQ(e->what(), "The local model returned a response larger than the 8 MiB limit.");
            }
        }
    }
    EXPECT_EQ(std::string(LocalModelError::server(302).what()), "Local model server returned HTTP 302.");
}

// Any status outside 2xx is the server's error, whatever its body says.
TEST_F(LocalClientTest, OnlyA2xxStatusCarriesAnAnswer)
{
    for (const auto& [status, kind] :
         {std::pair{299, LocalModelError::Kind::invalidResponse}, std::pair{300, LocalModelError::Kind::server}}) {
        SCOPED_TRACE(status);
        StandInLlamaServer odd;
        ASSERT_TRUE(odd.listen());
        odd.behaviour.failFirstChats = 1;
        odd.behaviour.failStatus = status;
        auto outcome = ask(odd.endpoint());
        const auto* e = outcome->errorAs<LocalModelError>();
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->kind(), kind);
    }
}

TEST_F(LocalClientTest, SlowAndEndlessAnswersEndWithinTheirBounds)
{
    Client::options().transferTimeout = std::chrono::seconds(1);
    Client::options().requestTimeout = std::chrono::seconds(2);
    Client::options().maxResponseBytes = 1024 * 1024;
    server.behaviour.trickleIntervalMs = 50;
    using Answer = StandInLlamaServer::Answer;
    struct Case {
        const char* name;
        Answer answer;
        int delayMs;
        const char* error;  // empty: the too-large error
    };
    const Case cases[] = {
        {"one byte at a time", Answer::trickle, 0, "The local model did not finish its answer within 2 seconds."},
        {"silence", Answer::normal, 10'000, "The local model did not answer within 1 seconds."},
        {"a chunked body without end", Answer::endlessChunked, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.behaviour.answer = c.answer;
        server.behaviour.answerDelayMs = c.delayMs;
        const int before = server.chatRequestCount();
        QElapsedTimer clock;
        clock.start();
        auto outcome = ask(server.endpoint());
        ASSERT_TRUE(outcome->finished);
        EXPECT_LT(clock.elapsed(), 3000);
        EXPECT_EQ(server.chatRequestCount() - before, 1) << "never sent again";
        if (*c.error) {
            const auto* e = outcome->errorAs<LocalTransportError>();
            ASSERT_NE(e, nullptr);
            EXPECT_STREQ(e->what(), c.error);
        } else {
            const auto* e = outcome->errorAs<LocalModelError>();
            ASSERT_NE(e, nullptr);
            EXPECT_STREQ(e->what(), "The local model returned a response larger than the 1 MiB limit.");
        }
    }
}

TEST_F(LocalClientTest, RetriesOnceOnATransientFailure)
{
    struct Case {
        const char* name;
        int status;  // 0: the connection is closed unanswered
        const char* reason;
    };
    const Case cases[] = {
        {"bad gateway", 502, "HTTP 502"},
        {"loading", 503, "HTTP 503"},
        {"gateway time-out", 504, "HTTP 504"},
        {"closed before answering", 0, "connection closed before an answer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StandInLlamaServer flaky;
        ASSERT_TRUE(flaky.listen());
        flaky.behaviour.failStatus = c.status;
        (c.status ? flaky.behaviour.failFirstChats : flaky.behaviour.dropFirstChats) = 1;
        const std::size_t retries = log.events(std::string("ASSISTANT_LOCAL_RETRY reason=") + c.reason).size();
        auto outcome = ask(flaky.endpoint());
        ASSERT_TRUE(outcome->value);
        EXPECT_EQ(flaky.chatRequestCount(), 2);
        EXPECT_EQ(log.events(std::string("ASSISTANT_LOCAL_RETRY reason=") + c.reason).size(), retries + 1);
    }
    EXPECT_EQ(log.events("ASSISTANT_LOCAL_REQUEST benchmark_context=true").size(), 4u);

    // Only once: a second failure is the answer.
    server.behaviour.failFirstChats = 4;
    auto outcome = ask(server.endpoint());
    const auto* e = outcome->errorAs<LocalModelError>();
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->what(), "Local model server returned HTTP 503.");
}

TEST_F(LocalClientTest, TheRequestLineNamesTheDefaultPortOfTheScheme)
{
    for (const auto& [endpoint, port] :
         {std::pair{"http://127.0.0.1/v1", " port=80 "}, std::pair{"https://127.0.0.1/v1", " port=443 "}}) {
        SCOPED_TRACE(endpoint);
        ask(endpoint);
        const auto lines = log.events("ASSISTANT_LOCAL_REQUEST");
        ASSERT_FALSE(lines.empty());
        EXPECT_NE(lines.back().find(port), std::string::npos) << lines.back();
    }
}

TEST_F(LocalClientTest, AStoppedServerIsAClearTransportErrorAfterOneRetry)
{
    const QString endpoint = server.endpoint();
    server.close();
    auto outcome = ask(endpoint);
    const auto* e = outcome->errorAs<LocalTransportError>();
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->what(), "Connection refused");
    EXPECT_EQ(log.events("ASSISTANT_LOCAL_RETRY").size(), 1u);
}

TEST_F(LocalClientTest, ANonLoopbackEndpointFailsBeforeAnyConnection)
{
    // The task ends before the event loop ever runs: nothing was sent anywhere.
    auto outcome = test::watch(Client::generate("http://192.0.2.1:8080/v1", "m", "q", {}, "s", false, false));
    ASSERT_TRUE(outcome->finished);
    const auto* e = outcome->errorAs<LocalModelError>();
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->what(), "Only localhost or loopback endpoints are allowed.");
    EXPECT_TRUE(log.events("ASSISTANT_LOCAL_REQUEST").empty());
}

TEST_F(LocalClientTest, CancellingAbortsTheRequest)
{
    server.behaviour.answerDelayMs = 5000;
    CancelFlag cancel;
    auto outcome =
        test::watch(Client::generate(server.endpoint().toStdString(), "m", "q", {}, "s", false, false, cancel));
    test::processEventsUntil([&] { return server.chatRequestCount() == 1; });
    cancel.cancel();
    test::processEventsUntil([&] { return outcome->finished; }, std::chrono::seconds(2));
    ASSERT_TRUE(outcome->finished);
    EXPECT_NE(outcome->errorAs<LocalTaskCancelled>(), nullptr);
}

}  // namespace
}  // namespace korvalen
