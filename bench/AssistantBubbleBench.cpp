// What an answer costs the window's main thread when it arrives: the bubble's placeholder takes the
// text, the conversation lays it out at its width, and the visible part is painted, as the pane does.
//
// Every case runs side by side with the reference, an ordinary answer of 64 KiB of words, in the same
// iterations; `ratio` is the case's time over the reference's. `laid_out_Kchars` is how much text the
// bubble lays out, in thousands of characters.
//
// Answers: words (prose with line breaks), one character repeated (a model stuck in a loop) and
// base64-like text (no break anywhere), at 64 KiB and at the local client's cap of 8 MiB.

#include "Assistant/Views/AssistantBubble.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QScrollArea>
#include <QTextDocument>
#include <QVBoxLayout>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <utility>

using namespace korvalen;

namespace {

constexpr std::size_t KiB = 1024;
constexpr std::size_t MiB = 1024 * KiB;

std::string words(std::size_t bytes)
{
    static const char* const pieces[] = {"The ",   "GPU ",        "matrix ", "throughput ", "held ",   "steady ",
                                         "at ",    "1234.5678 ",  "GFLOPS ", "while ",      "memory ", "stayed ",
                                         "flat, ", "so the run ", "is ",     "certified.\n"};
    std::string text;
    for (std::size_t i = 0; text.size() < bytes; ++i) text += pieces[i % std::size(pieces)];
    text.resize(bytes);
    return text;
}

std::string repeated(std::size_t bytes)
{
    return std::string(bytes, '!');
}

std::string base64Like(std::size_t bytes)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text(bytes, 'A');
    std::uint32_t state = 2463534242u;  // a fixed xorshift sequence: the same text every run
    for (char& c : text) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = alphabet[state % 64];
    }
    return text;
}

// The pane's arrangement around one bubble: a resizable scroll area over a column of messages.
struct Conversation {
    QScrollArea scroll;
    AssistantBubble* bubble;
    QImage image;

    Conversation() : image(900, 600, QImage::Format_ARGB32_Premultiplied)
    {
        auto* list = new QWidget;
        auto* column = new QVBoxLayout(list);
        bubble = new AssistantBubble({Uuid::random(), AIAssistantRole::assistant, "", now()}, list);
        column->addWidget(bubble);
        column->addStretch(1);
        scroll.setWidgetResizable(true);
        scroll.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        scroll.setWidget(list);
        scroll.resize(image.size());
        scroll.show();
        QApplication::processEvents();
    }

    // Seconds from the answer's arrival to its first painted view.
    double show(const std::string& answer)
    {
        QElapsedTimer clock;
        clock.start();
        bubble->setText(answer);
        QApplication::processEvents();
        scroll.render(&image);
        return static_cast<double>(clock.nsecsElapsed()) / 1e9;
    }
};

void answer(benchmark::State& state, std::string (*make)(std::size_t), std::size_t bytes)
{
    const std::string reference = words(64 * KiB);
    const std::string text = make(bytes);
    double caseSeconds = 0, referenceSeconds = 0;
    int laidOut = 0;
    for (auto _ : state) {
        Conversation forReference;
        referenceSeconds += forReference.show(reference);
        Conversation forCase;
        const double seconds = forCase.show(text);
        caseSeconds += seconds;
        state.SetIterationTime(seconds);
        laidOut = forCase.bubble->textView()->document()->characterCount();
    }
    state.counters["ratio"] = caseSeconds / referenceSeconds;
    state.counters["laid_out_Kchars"] = laidOut / 1000.0;
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const struct {
        const char* name;
        std::string (*make)(std::size_t);
    } kinds[] = {{"Words", words}, {"RepeatedCharacter", repeated}, {"Base64Like", base64Like}};
    for (const auto& [size, bytes] : {std::pair{"64KiB", 64 * KiB}, std::pair{"8MiB", 8 * MiB}})
        for (const auto& kind : kinds)
            benchmark::RegisterBenchmark((std::string("answer/") + kind.name + size).c_str(), answer, kind.make, bytes)
                ->Iterations(5)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
