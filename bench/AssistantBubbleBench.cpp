// What an answer costs the window's main thread: from its arrival (the log line counts its
// characters, the bubble's placeholder takes the text, the conversation lays it out at its width and
// the visible part is painted, as the pane does) and at a resize of the conversation to a narrow
// width and back.
//
// Every case runs side by side with the reference, an answer of ordinary words of the same size, in
// the same iterations: `ratio` is the case's arrival time over the reference's, `resize_ratio` the
// same for the resize. `laid_out_Kchars` is how much text the bubble lays out, in thousands of
// characters.
//
// Answers, at 4 KiB, 64 KiB and the local client's cap of 8 MiB: words (prose with line breaks), one
// character repeated (a model stuck in a loop), base64-like text (no break anywhere), scripts written
// without spaces (Thai, Khmer, Chinese, Mongolian), every ideograph in turn, Korean, Japanese of kana
// and kanji, ideographs each under a variation selector, one character of thousands of code points
// (emoji joined by U+200D, a letter under combining marks, a run of conjoining jamo), emoji with
// modifiers, flags, many short lines, blank lines, line separators, tabs, and Arabic and Latin words
// in turn.
//
// What scripts cost depends on the fonts installed: a character that no font has is looked for in
// every font. Run it also with FONTCONFIG_FILE naming a configuration with many fonts and none for
// the scripts above, and with one that has them.

#include "Assistant/Expert/UserPerceivedCharacters.h"
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

// `pieces` in turn until the text has `bytes`, never ending inside a UTF-8 sequence.
std::string cycle(std::size_t bytes, std::initializer_list<const char*> pieces, const char* first = "")
{
    std::string text = first;
    while (text.size() < bytes)
        for (const char* piece : pieces) text += piece;
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    return text;
}

std::string words(std::size_t bytes)
{
    return cycle(bytes, {"The ", "GPU ", "matrix ", "throughput ", "held ", "steady ", "at ", "1234.5678 ", "GFLOPS ",
                         "while ", "memory ", "stayed ", "flat, ", "so the run ", "is ", "certified.\n"});
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

std::string thai(std::size_t bytes)
{
    return cycle(bytes, {"ภาษาไทยเป็นภาษาที่สวยงามมาก", "ผลการทดสอบของหน่วยประมวลผลกราฟิกคงที่"});
}

std::string khmer(std::size_t bytes)
{
    return cycle(bytes, {"ភាសាខ្មែរគឺជាភាសាផ្លូវការរបស់ប្រទេសកម្ពុជា"});
}

std::string chinese(std::size_t bytes)
{
    return cycle(bytes, {"图形处理器的矩阵吞吐量保持稳定内存也保持平稳所以这次运行获得认证"});
}

// Every ideograph of the unified block in turn: a font's glyph is measured once per different one.
std::string differentIdeographs(std::size_t bytes)
{
    std::string text;
    for (char32_t c = 0x4E00; text.size() + 3 <= bytes; c = c == 0x9FFF ? 0x4E00 : c + 1)
        text += QString::fromUcs4(&c, 1).toStdString();
    return text;
}

std::string korean(std::size_t bytes)
{
    return cycle(bytes, {"그래픽 처리 장치의 행렬 처리량은 안정적으로 유지되었고 ",
                         "메모리도 평탄했으므로 이번 실행은 인증되었습니다. "});
}

std::string japanese(std::size_t bytes)
{
    return cycle(bytes, {"グラフィックス処理装置の行列スループットは安定しており、",
                         "メモリも平坦だったので、この実行は認定されました。"});
}

// Ideographs each followed by a variation selector, standardized (U+FE00) or of the ideographic
// variation database (U+E0100 on).
std::string ideographVariants(std::size_t bytes)
{
    return cycle(bytes, {"葛\U000E0100", "辻\U000E0101", "漢\uFE00", "侮\uFE00", "邉\U000E0102", "飯\U000E0100"});
}

std::string mongolian(std::size_t bytes)
{
    return cycle(bytes, {"ᠮᠣᠩᠭᠣᠯᠪᠢᠴᠢᠭ", "ᠦᠨᠳᠦᠰᠦᠲᠡᠨ", "ᠬᠡᠯᠡᠨᠦᠰᠤᠷᠭᠠᠯ"});
}

std::string emojiChain(std::size_t bytes)
{
    return cycle(bytes, {"\u200D👨", "\u200D👩", "\u200D👧"}, "👨");
}

std::string combiningMarks(std::size_t bytes)
{
    return cycle(bytes, {"\u0301", "\u0323", "\u0308"}, "a");
}

std::string jamo(std::size_t bytes)
{
    return cycle(bytes, {"\u1100", "\u1101", "\u1102"});
}

std::string emojiModifiers(std::size_t bytes)
{
    return cycle(bytes, {"👍🏽", "👩🏿‍💻", "🧑🏻‍🤝‍🧑🏼", "✌️"});
}

std::string flags(std::size_t bytes)
{
    return cycle(bytes, {"🇧🇷", "🇵🇹", "🇯🇵", "🇺🇸"});
}

std::string shortLines(std::size_t bytes)
{
    return cycle(bytes, {"a\n"});
}

std::string blankLines(std::size_t bytes)
{
    return cycle(bytes, {"\n"}, "a");
}

std::string lineSeparators(std::size_t bytes)
{
    return cycle(bytes, {"a\u2028"});
}

std::string tabs(std::size_t bytes)
{
    return cycle(bytes, {"\t"}, "a");
}

std::string mixedDirection(std::size_t bytes)
{
    return cycle(bytes, {"العربية ", "GPU ", "معالج ", "throughput "});
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

    void paint()
    {
        QApplication::processEvents();
        scroll.render(&image);
    }

    // Seconds from the answer's arrival to its first painted view.
    double show(const std::string& answer)
    {
        QElapsedTimer clock;
        clock.start();
        benchmark::DoNotOptimize(UserPerceivedCharacters::count(answer));
        bubble->setText(answer);
        paint();
        return static_cast<double>(clock.nsecsElapsed()) / 1e9;
    }

    // Seconds to narrow the conversation and widen it again, painting each.
    double resize()
    {
        QElapsedTimer clock;
        clock.start();
        scroll.resize(400, image.height());
        paint();
        scroll.resize(image.size());
        paint();
        return static_cast<double>(clock.nsecsElapsed()) / 1e9;
    }
};

void answer(benchmark::State& state, std::string (*make)(std::size_t), std::size_t bytes)
{
    const std::string reference = words(bytes);
    const std::string text = make(bytes);
    double seconds[2] = {}, referenceSeconds[2] = {};
    int laidOut = 0;
    for (auto _ : state) {
        Conversation forReference;
        referenceSeconds[0] += forReference.show(reference);
        referenceSeconds[1] += forReference.resize();
        Conversation forCase;
        const double arrival = forCase.show(text);
        seconds[0] += arrival;
        seconds[1] += forCase.resize();
        state.SetIterationTime(arrival);
        laidOut = forCase.bubble->textView()->document()->characterCount();
    }
    state.counters["ratio"] = seconds[0] / referenceSeconds[0];
    state.counters["resize_ratio"] = seconds[1] / referenceSeconds[1];
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
    } kinds[] = {{"Words", words},
                 {"RepeatedCharacter", repeated},
                 {"Base64Like", base64Like},
                 {"ThaiUnspaced", thai},
                 {"KhmerUnspaced", khmer},
                 {"ChineseUnspaced", chinese},
                 {"DifferentIdeographs", differentIdeographs},
                 {"Korean", korean},
                 {"JapaneseKanaKanji", japanese},
                 {"IdeographsWithVariationSelectors", ideographVariants},
                 {"MongolianUnspaced", mongolian},
                 {"EmojiJoinedChain", emojiChain},
                 {"CombiningMarks", combiningMarks},
                 {"ConjoiningJamo", jamo},
                 {"EmojiWithModifiers", emojiModifiers},
                 {"Flags", flags},
                 {"ShortLines", shortLines},
                 {"BlankLines", blankLines},
                 {"LineSeparators", lineSeparators},
                 {"Tabs", tabs},
                 {"MixedDirection", mixedDirection}};
    for (const auto& [size, bytes] :
         {std::pair{"4KiB", 4 * KiB}, std::pair{"64KiB", 64 * KiB}, std::pair{"8MiB", 8 * MiB}})
        for (const auto& kind : kinds)
            benchmark::RegisterBenchmark((std::string("answer/") + kind.name + size).c_str(), answer, kind.make, bytes)
                ->Iterations(3)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
