#include "Assistant/Expert/AIAssistantUnderstanding.h"
#include "Assistant/ExpertFixtures.h"

#include <QString>

namespace korvalen {
namespace {

using namespace testing;
using namespace AIAssistantEngine;
using I = AIAssistantIntent;
using L = AIAssistantLanguage;
using W = AIWorkloadID;
using B = AIBackend;

TEST(AIAssistantUnderstanding, NormalizationFoldsCaseDiacriticsAndTheMultiplicationSign)
{
    const std::pair<std::string, std::string> cases[] = {
        {"Memória", "memoria"},
        {"CPU × GPU", "cpu x gpu"},
        {"EXECUÇÃO ANTERIOR", "execucao anterior"},
        {"Ação não é Pontuação", "acao nao e pontuacao"},
        {"e\u0301 and é", "e and e"},  // decomposed and composed accents alike
        {"日本語 ß", "日本語 ß"},      // nothing to fold stays as it is
        {"İ", "i"},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(normalize(text), expected) << text;
        EXPECT_EQ(normalize(normalize(text)), normalize(text)) << text;
    }
    EXPECT_EQ(tokens("fine-tuning"), (std::vector<std::string>{"fine", "tuning"}));
    EXPECT_EQ(tokens("Memória: 2x, GPU!"), (std::vector<std::string>{"memoria", "2x", "gpu"}));
    // Words of another script, split at what is neither letter nor digit, the last one included.
    EXPECT_EQ(tokens("Почему медленно"), (std::vector<std::string>{"почему", "медленно"}));
    EXPECT_TRUE(tokens("  ?! ").empty());
}

// A long run of non-ASCII text is folded in pieces; wherever the pieces end, the text is the one the
// whole run gives. Pieces of one code unit put a cut at every place the fold allows.
TEST(AIAssistantUnderstanding, AFoldInPiecesGivesTheWholeRunsText)
{
    const std::u32string cases[] = {
        U"\u1100\u0e31\u1161",                                    // a vanishing mark between jamo that compose
        U"\uac00\u11a8\u1100\u1161\u11a8",                        // syllables and jamo
        U"\u304b\u3099\u30ac\u309a",                              // kana and voicing marks
        U"\u00c9\u0301\u0316\u0301\u0316\u00e0",                  // marks of two classes after a letter
        U"\U0001d16d\U0001d165\U0001d16d\U0001d165\u1b44\u302e",  // spacing marks to reorder
        U"\ub468\U000114bc\U000114bc\u00e9",                      // Qt leaves an astral pair after another undone
        U"\U00011347\U00011357\u0b47\u0b3e\u0b47",                // an astral pair, then a pair in the BMP
        U"\ufeff\u00e9\ufeff\u00e9",                              // a byte-order mark, taken as one only at the start
        U"\u0130\u00d7\u0f73\u0345\u03a3\u00df",                  // lower case adding marks, ×, marks that decompose
    };
    for (const std::u32string& run : cases) {
        const std::string text = QString::fromUcs4(run.data(), static_cast<qsizetype>(run.size())).toStdString();
        SCOPED_TRACE(text);
        EXPECT_EQ(detail::foldNonAscii(text, 1), detail::foldNonAscii(text, 1 << 20));
    }
}

TEST(AIAssistantUnderstanding, LanguageCountsDistinctMarkersAndKeepsTheFallbackOnATie)
{
    const struct {
        const char* question;
        L fallback;
        L expected;
    } cases[] = {
        {"Analise meu resultado completo.", L::english, L::portuguese},
        {"What should I improve?", L::portuguese, L::english},
        {"Olá, tudo bem?", L::portuguese, L::portuguese},  // no marker of either language
        {"Olá, tudo bem?", L::english, L::english},
        {"compare", L::portuguese, L::portuguese},  // in both lists, so it never decides
        {"my my my", L::portuguese, L::english},
        {"e isso?", L::portuguese, L::english},  // "is" inside "isso"
    };
    for (const auto& c : cases) {
        EXPECT_EQ(detectLanguage(c.question, c.fallback), c.expected) << c.question;
    }
}

TEST(AIAssistantUnderstanding, WorkloadAndBackendDetection)
{
    const struct {
        const char* question;
        std::optional<W> workload;
        std::optional<B> backend;
    } cases[] = {
        {"What happened in Transformer Attention?", W::transformerAttention, std::nullopt},
        {"explain rope", W::ropeRMSNorm, std::nullopt},
        {"attention decode on the GPU", W::transformerAttention, B::gpu},     // first full match visited wins
        {"matrix multiplication", W::matrixFP32, std::nullopt},               // 2 of 3 title tokens
        {"kv read", std::nullopt, std::nullopt},                              // best similarity 0.5
        {"Memória e alocação de tensor", W::tensorOperations, std::nullopt},  // its alias "tensor" comes first
        {"Is the neural engine faster than the GPU?", std::nullopt, B::neuralEnginePreferred},
        {"the plane", std::nullopt, B::neuralEnginePreferred},  // "ane" inside "plane"
        {"CPU × GPU", std::nullopt, B::gpu},
        {"meu processador", std::nullopt, B::cpu},
        {"the calibrated path", std::nullopt, B::automatic},
        {"hello", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(resolveWorkload(c.question), c.workload) << c.question;
        EXPECT_EQ(detectBackend(c.question), c.backend) << c.question;
    }
    EXPECT_DOUBLE_EQ(phraseSimilarity("Prompt LLM", "llm prompt processing"), 2.0 / 3.0);
    EXPECT_DOUBLE_EQ(phraseSimilarity("x", ""), 1.0);
    EXPECT_DOUBLE_EQ(phraseSimilarity("?!", "rope"), 0.0);
}

// Intent, remembered workload and backend, and confidence through respond, including follow-ups that
// lean on the previous answer.
TEST(AIAssistantUnderstanding, IntentsAndFollowUps)
{
    const struct {
        const char* question;
        std::optional<I> lastIntent;
        std::optional<W> lastWorkload;
        std::optional<B> lastBackend;
        I intent;
        std::optional<W> workload;
        std::optional<B> backend;
        double confidence;
        const char* answerStart;
    } cases[] = {
        {"hello", {}, {}, {}, I::greeting, {}, {}, 0.9, "Hello. I am analyzing"},
        {"Which mode should I use?", {}, {}, {}, I::greeting, {}, {}, 0.9, "Hello."},  // "hi" inside "which"
        {"Compare CPU and GPU and explain why CPU won.", {}, {}, {}, I::compareBackends, {}, B::gpu, 0.93, "• CPU won"},
        {"CPU × GPU", {}, {}, {}, I::compareBackends, {}, B::gpu, 0.93, "• CPU won"},
        {"What happened in Transformer Attention?",
         {},
         {},
         {},
         I::explainWorkload,
         W::transformerAttention,
         {},
         0.92,
         "Transformer Attention\n\n• Category"},
        {"Analyze memory and retention.", {}, {}, {}, I::memory, {}, {}, 0.9, "Memory analysis"},
        {"Compare to the last run", {}, {}, {}, I::compareRuns, {}, {}, 0.9, "I could not find"},
        {"Show the history", {}, {}, {}, I::greeting, {}, {}, 0.9, "Hello."},  // "hi" inside "history"
        {"Explain the score", {}, {}, {}, I::analyze, {}, {}, 0.9, "Analysis of the Complete AI run"},
        {"why?",
         I::explainWorkload,
         W::transformerAttention,
         {},
         I::explainScore,
         W::transformerAttention,
         {},
         0.92,
         "Comparison for Transformer Attention"},
        {"why is it slow?", I::compareBackends, W::textTokenization, B::cpu, I::explainScore, W::textTokenization,
         B::cpu, 0.92, "Comparison for Text Tokenization"},
        {"why is that?", I::memory, {}, B::gpu, I::compareBackends, {}, B::gpu, 0.93, "• CPU won"},
        {"ok", I::stability, {}, {}, I::followUp, {}, {}, 0.62, "Stability and repeatability"},
        {"e isso?", I::memory, {}, {}, I::followUp, {}, {}, 0.62, "Memory analysis"},
        {"and cpu",
         I::compareBackends,
         W::imageClassification,
         {},
         I::followUp,
         {},
         B::cpu,
         0.62,
         "Comparison for Image Classification"},
        {"what about the gpu", {}, {}, {}, I::followUp, {}, B::gpu, 0.62, "Analysis of the Complete AI run"},
        {"ok", {}, {}, {}, I::unknown, {}, {}, 0.25, "I specialize only in Korvalen AI"},
        {"xyz", {}, {}, {}, I::unknown, {}, {}, 0.25, "I specialize only in Korvalen AI"},
        {"", {}, {}, {}, I::unknown, {}, {}, 0.25, "I specialize only in Korvalen AI"},
        {" \n\t ", I::hardware, {}, {}, I::followUp, {}, {}, 0.62, "Analysis of the Complete AI run"},
        {"explain", {}, {}, {}, I::unknown, {}, {}, 0.25, "I specialize"},
    };
    const std::optional<AIBenchmarkSession> session = certifiedSession();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.question);
        AIAssistantConversationContext context;
        context.lastIntent = c.lastIntent;
        context.lastWorkloadID = c.lastWorkload;
        context.lastBackend = c.lastBackend;
        const auto response = ask(c.question, session, context);
        ASSERT_TRUE(response);
        EXPECT_EQ(response->intent, c.intent);
        EXPECT_EQ(response->workloadID, c.workload);
        EXPECT_EQ(response->backend, c.backend);
        EXPECT_DOUBLE_EQ(response->confidence, c.confidence);
        EXPECT_TRUE(response->text.starts_with(c.answerStart)) << response->text;
    }
}

TEST(AIAssistantUnderstanding, CancellationAtAnyCheckpointGivesNoAnswer)
{
    const std::optional<AIBenchmarkSession> session = certifiedSession();
    for (int cancelAt = 1; cancelAt <= 3; ++cancelAt) {
        int calls = 0;
        const auto response =
            respond("Analyze my result", session, expertSystem(), {}, {}, [&] { return ++calls >= cancelAt; });
        EXPECT_FALSE(response) << cancelAt;
        EXPECT_EQ(calls, cancelAt);
    }
    int calls = 0;
    EXPECT_TRUE(respond("Analyze my result", session, expertSystem(), {}, {}, [&] { return ++calls > 3; }));
}

TEST(AIAssistantUnderstanding, AVeryLongQuestionIsAnswered)
{
    std::string question = "Please analyze the memory of ";
    while (question.size() < 100 * 1024) {
        question += "lorem ipsum dolor sit amet çà 12 ";
    }
    const auto response = ask(question, certifiedSession());
    ASSERT_TRUE(response);
    EXPECT_EQ(response->intent, I::memory);
    EXPECT_EQ(response->workloadID, std::nullopt);
}

}  // namespace
}  // namespace korvalen
