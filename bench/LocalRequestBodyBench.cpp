// What the local model's request body costs the window's main thread when the conversation holds
// long pasted questions: 16 or 200 messages, eight of them questions of 4 MiB with short answers
// between them (and, past 16, short exchanges before the newest question), under the client's 8 MiB
// cap, so that of the questions only the newest is sent.
//
// Every case runs side by side with its reference, one build of the body it sends (the messages
// kept, put into JSON once), in the same iterations: `ratio` is the send's time over the
// reference's, and stays at most 2: a text that is not sent is never decoded whole, and one
// that is sent is decoded and put into JSON once. `sent_MiB` is the size of the body sent.
//
// Questions: words, words opening with an accented letter, text full of quotes and line breaks
// (every one escaped), and Chinese.

#include "LocalModel/AIAssistantLocalClient.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <benchmark/benchmark.h>

#include <string>
#include <utility>
#include <vector>

using namespace korvalen;

namespace {

constexpr std::size_t MiB = 1024 * 1024;

// `piece` repeated, with `first` in front, until the text has `bytes`, never ending inside a UTF-8
// sequence; the number tells the questions apart.
std::string text(std::size_t bytes, const char* first, const char* piece, int number)
{
    std::string t = first + std::to_string(number) + " ";
    while (t.size() < bytes) t += piece;
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(t[end]) & 0xC0) == 0x80) --end;
    t.resize(end);
    return t;
}

struct Kind {
    const char* name;
    const char* first;
    const char* piece;
};

void send(benchmark::State& state, Kind kind)
{
    const char* answer = "The GPU matrix throughput held steady at 1234.5678 GFLOPS.";
    std::vector<LocalChatTurn> conversation{{"assistant", "The run is certified."}};
    for (int i = 1; i <= 8; ++i) {
        conversation.push_back({"user", text(4 * MiB, kind.first, kind.piece, i)});
        if (i < 8) conversation.push_back({"assistant", answer});
        for (auto turns = state.range(0); i == 7 && turns > 16; turns -= 2) {
            conversation.push_back({"user", "And the memory?"});
            conversation.push_back({"assistant", answer});
        }
    }
    const std::string prompt = conversation.back().text;
    const std::string system(6000, 's');

    // What is sent: the messages of the body, read back once.
    const QByteArray sent = AIAssistantLocalClient::requestBody("local-model", prompt, conversation, system);
    std::vector<std::pair<std::string, std::string>> messages;
    for (const auto& m : QJsonDocument::fromJson(sent).object().value("messages").toArray())
        messages.emplace_back(m.toObject().value("role").toString().toStdString(),
                              m.toObject().value("content").toString().toStdString());

    double seconds = 0, referenceSeconds = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        {
            // Its documents are freed within its time, as the send's are, and are gone before the
            // send runs.
            QJsonArray array;
            for (const auto& [role, content] : messages)
                array.append(
                    QJsonObject{{"role", QString::fromStdString(role)}, {"content", QString::fromStdString(content)}});
            const QJsonObject body{{"model", "local-model"}, {"messages", array}, {"stream", false}};
            benchmark::DoNotOptimize(QJsonDocument(body).toJson(QJsonDocument::Compact));
        }
        referenceSeconds += static_cast<double>(clock.nsecsElapsed()) / 1e9;

        clock.restart();
        benchmark::DoNotOptimize(AIAssistantLocalClient::requestBody("local-model", prompt, conversation, system));
        const double elapsed = static_cast<double>(clock.nsecsElapsed()) / 1e9;
        seconds += elapsed;
        state.SetIterationTime(elapsed);
    }
    state.counters["ratio"] = seconds / referenceSeconds;
    state.counters["sent_MiB"] = static_cast<double>(sent.size()) / MiB;
}

}  // namespace

int main(int argc, char** argv)
{
    const Kind kinds[] = {{"Words", "Question", "The GPU matrix throughput held steady at 1234.5678 GFLOPS. "},
                          {"AccentedFirst", "Épreuve", "A memória ficou estável durante a execução. "},
                          {"QuotesAndLineBreaks", "Log", "\"key\": \"value\",\n\t\"path\": \"C:\\\\x\"\n"},
                          {"Chinese", "问题", "图形处理器的矩阵吞吐量保持稳定内存也保持平稳所以这次运行获得认证"}};
    for (const Kind& kind : kinds)
        benchmark::RegisterBenchmark((std::string("send/") + kind.name).c_str(), send, kind)
            ->Arg(16)
            ->Arg(200)
            ->Iterations(3)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
