#include "Assistant/ExpertFixtures.h"

#include <cmath>
#include <limits>

namespace korvalen {
namespace {

using namespace testing;
using namespace AIAssistantEngine;
using L = AIAssistantLanguage;
using W = AIWorkloadID;
using B = AIBackend;

std::vector<double> scoresOf(const std::vector<AIBenchmarkResult>& results)
{
    std::vector<double> scores;
    for (const AIBenchmarkResult& r : results) {
        scores.push_back(r.score);
    }
    return scores;
}

AIBenchmarkSession sessionWith(std::vector<AIBenchmarkResult> results)
{
    AIBenchmarkSession s = certifiedSession();
    s.results = std::move(results);
    return s;
}

int lineCount(const std::string& text)
{
    return static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
}

TEST(AIAssistantRules, ScoreTextAndPercentChange)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::pair<double, std::string> scores[] = {{1234.4, "1234"}, {0.5, "0"}, {2.5, "2"}, {0, "—"},
                                                     {-3, "—"},        {inf, "—"}, {nan, "—"}};
    for (const auto& [value, text] : scores) {
        EXPECT_EQ(formatScore(value), text) << value;
    }
    EXPECT_NEAR(percentChange(110, 100), 10, 1e-9);
    EXPECT_EQ(percentChange(5, 0.0001), 0);  // a previous score at the floor gives no change
    EXPECT_EQ(percentChange(5, 0), 0);
    EXPECT_EQ(percentChange(nan, 100), 0);
    EXPECT_EQ(percentChange(100, inf), 0);
}

TEST(AIAssistantRules, CanonicalResultsPreferPlatformThenUniversalThenTheHighestScore)
{
    AIBenchmarkResult comparison = expertResult(W::matrixFP32, B::cpu, 900);
    comparison.scoreRole = AIScoreRole::comparison;
    AIBenchmarkResult requested = expertResult(W::matrixFP32, B::gpu, 1200);
    requested.scoreRole = AIScoreRole::requested;
    AIBenchmarkResult platform = expertResult(W::matrixFP32, B::neuralEnginePreferred, 50);
    platform.scoreRole = AIScoreRole::platform;
    AIBenchmarkResult universal = expertResult(W::convolution, B::cpu, 10);
    universal.scoreRole = AIScoreRole::universal;
    AIBenchmarkResult invalid = expertResult(W::kvCache, B::gpu, 5000);
    invalid.valid = false;

    EXPECT_EQ(scoresOf(canonicalResults(sessionWith({comparison, requested}))), (std::vector<double>{1200}));
    EXPECT_EQ(scoresOf(canonicalResults(sessionWith({comparison, requested, platform}))), (std::vector<double>{50}));
    // One per workload, in order of first appearance; invalid results never count.
    EXPECT_EQ(scoresOf(canonicalResults(
                  sessionWith({expertResult(W::convolution, B::gpu, 70), invalid, comparison, universal, requested}))),
              (std::vector<double>{10, 1200}));
    EXPECT_TRUE(canonicalResults(sessionWith({invalid})).empty());
    // A score that is not a number never wins.
    AIBenchmarkResult notANumber = expertResult(W::kvCache, B::gpu, std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(scoresOf(canonicalResults(sessionWith({notANumber, expertResult(W::kvCache, B::cpu, 500)}))),
              (std::vector<double>{500}));
    EXPECT_EQ(resultLines({}, L::english), "• Not enough results.");
    EXPECT_EQ(resultLines({}, L::portuguese), "• Sem resultados suficientes.");
}

TEST(AIAssistantRules, RankingsKeepEqualScoresInTheirOrder)
{
    std::vector<AIBenchmarkResult> results;
    for (double score : {5.0, 9.0, 9.0, 1.0, 7.0}) {
        results.push_back(expertResult(W::matrixFP32, B::cpu, score));
    }
    results[2].backend = B::gpu;  // marks the second 9
    const auto highest = selectRankedResults(results, 3, true);
    EXPECT_EQ(scoresOf(highest), (std::vector<double>{9, 9, 7}));
    EXPECT_EQ(highest[0].backend, B::cpu);
    EXPECT_EQ(scoresOf(selectRankedResults(results, 3, false)), (std::vector<double>{1, 5, 7}));

    // Strongest and weakest of the session analysis: 10, 20, 30, 30 and a zero score.
    std::vector<AIBenchmarkResult> session;
    const W workloads[] = {W::matrixFP32, W::matrixFP16, W::matrixINT8, W::convolution, W::softmaxLayerNorm};
    const double scores[] = {10, 20, 30, 30, 0};
    for (int i = 0; i < 5; ++i) {
        session.push_back(expertResult(workloads[i], B::cpu, scores[i]));
    }
    const auto snapshot = makeSessionAnalysisSnapshot(sessionWith(session), expertSystem(), {});
    EXPECT_EQ(snapshot.strongestEnglish,
              "• Matrix Multiplication INT8 — CPU: score 30, 3.0000 TOP/s.\n"
              "• Convolution 2D — CPU: score 30, 3.0000 GFLOP/s.\n"
              "• Matrix Multiplication FP16 — CPU: score 20, 2.0000 TFLOP/s.");
    EXPECT_TRUE(snapshot.weakestEnglish.starts_with("• Matrix Multiplication FP32 — CPU: score 10"));
    EXPECT_TRUE(snapshot.weakestEnglish.ends_with("• Matrix Multiplication INT8 — CPU: score 30, 3.0000 TOP/s."));
}

TEST(AIAssistantRules, MemoryTailAndRetentionThresholdsOnBothSides)
{
    const auto withDelta = [](double delta) {
        AIBenchmarkResult r = expertResult(W::kvCache, B::gpu, 700);
        r.memory = {100, 400, 100 + delta};
        return r;
    };
    const auto withLatency = [](double median, std::optional<double> p99, double maximum) {
        AIBenchmarkResult r = expertResult(W::matrixFP32, B::cpu, 700);
        r.latency.medianMS = median;
        r.latency.p99MS = p99;
        r.latency.maximumMS = maximum;
        return r;
    };
    const auto withRetention = [](double retention) {
        AIBenchmarkResult r = expertResult(W::mixedSustained, B::gpu, 700);
        r.performanceRetention = retention;
        return r;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        const char* name;
        AIBenchmarkResult result;
        std::string anomaly;  // empty: no anomaly line
    } cases[] = {
        {"delta 128", withDelta(128), ""},
        {"delta 128.01", withDelta(128.01), "• 1 workloads ended with a memory delta above 128 MB."},
        {"p99 exactly 2.5x", withLatency(2, 5, 9), ""},
        {"p99 above 2.5x", withLatency(2, 5.01, 9), "• 1 workloads had P99 above 2.5× median."},
        {"median floor", withLatency(0.00005, 0.0003, 1), "• 1 workloads had P99 above 2.5× median."},
        {"below the floor", withLatency(0.00005, 0.0002, 1), ""},
        {"maximum stands in for p99", withLatency(2, std::nullopt, 6), "• 1 workloads had P99 above 2.5× median."},
        {"nan median", withLatency(nan, 5, 9), ""},
        {"retention 90", withRetention(90), ""},
        {"retention 89.99", withRetention(89.99), "• 1 sustained results fell below 90% retention."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const AIBenchmarkSession session = sessionWith({c.result});
        const auto lines = anomalyLines(session, L::english);
        EXPECT_EQ(lines, c.anomaly.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.anomaly});
        // The same rules drive the memory verdict and the retention advice.
        const std::string memory = analyzeMemory(L::english, session, expertSystem());
        EXPECT_EQ(memory.ends_with("A Deep diagnostic and idle RSS observation are warranted."),
                  c.anomaly.find("memory delta") != std::string::npos);
        const std::string advice = recommendImprovements(L::english, session, expertSystem(), {});
        EXPECT_EQ(advice.find("retention below 90%") != std::string::npos,
                  c.anomaly.find("retention") != std::string::npos);
    }
    EXPECT_TRUE(analyzeMemory(L::english, sessionWith({withDelta(-3.456)}), expertSystem()).find("delta -3.46 MB") !=
                std::string::npos);
}

TEST(AIAssistantRules, RunComparabilityAndThePreviousRun)
{
    const AIBenchmarkSession current = certifiedSession();
    const auto variant = [&](auto change) {
        AIBenchmarkSession s = earlierCertifiedSession(current);
        change(s);
        return s;
    };
    const struct {
        const char* name;
        AIBenchmarkSession previous;
        bool comparable;
    } cases[] = {
        {"same conditions", variant([](AIBenchmarkSession&) {}), true},
        {"memory 0.25 apart", variant([](AIBenchmarkSession& s) { s.system.memoryGB += 0.25; }), true},
        {"memory 0.26 apart", variant([](AIBenchmarkSession& s) { s.system.memoryGB += 0.26; }), false},
        {"cancelled", variant([](AIBenchmarkSession& s) { s.cancelled = true; }), false},
        {"unfinished", variant([](AIBenchmarkSession& s) { s.completedAt.reset(); }), false},
        {"uncertified", variant([](AIBenchmarkSession& s) { s.certificationNotes = std::vector<std::string>{"x"}; }),
         false},
        {"older methodology", variant([](AIBenchmarkSession& s) { s.methodologyVersion = 3; }), false},
        {"no platform score", variant([](AIBenchmarkSession& s) { s.scores.platform = 0; }), false},
        {"another mode", variant([](AIBenchmarkSession& s) { s.mode = AIRunMode::extended; }), false},
        {"another OS", variant([](AIBenchmarkSession& s) { s.system.osVersion = "Linux 6.2"; }), false},
        {"GPU trait differs", variant([](AIBenchmarkSession& s) { (*s.system.gpuProfiles)[0].lowPower = true; }),
         false},
        {"GPU id re-enumerated", variant([](AIBenchmarkSession& s) {
             s.system.gpuRegistryID = 78;
             (*s.system.gpuProfiles)[0].registryID = 78;
         }),
         true},
        {"absent compare-all-GPUs flag equals false", variant([](AIBenchmarkSession& s) { s.compareAllGPUs = false; }),
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The current run itself, saved in the history, is skipped.
        const History history{current, c.previous};
        EXPECT_EQ(comparablePrevious(current, history) == &history[1], c.comparable);
    }

    // A CPU-only run ignores the GPU; a current run that is not comparable compares with nothing.
    AIBenchmarkSession cpuOnly = current;
    cpuOnly.compareAllBackends = false;
    cpuOnly.requestedBackend = B::cpu;
    AIBenchmarkSession cpuOnlyEarlier = earlierCertifiedSession(cpuOnly);
    cpuOnlyEarlier.system.gpuName = "Other GPU";
    (*cpuOnlyEarlier.system.gpuProfiles)[0].name = "Other GPU";
    EXPECT_NE(comparablePrevious(cpuOnly, {cpuOnlyEarlier}), nullptr);
    AIBenchmarkSession uncertified = current;
    uncertified.certificationNotes = std::vector<std::string>{"Low Power Mode was on."};
    EXPECT_EQ(comparablePrevious(uncertified, {earlierCertifiedSession(current)}), nullptr);

    AIBenchmarkSession allGPUs = current;
    allGPUs.compareAllGPUs = true;
    EXPECT_EQ(gpuSelectionSignature(allGPUs),
              "universal=Test GPU|high-performance|internal|display-capable|dedicated"
              "||all=Test GPU|high-performance|internal|display-capable|dedicated");
}

TEST(AIAssistantRules, LargestChangesAndLargestWinsAreRankedAndCapped)
{
    const W workloads[] = {W::matrixFP32,       W::matrixFP16,       W::matrixINT8, W::convolution,
                           W::softmaxLayerNorm, W::tensorOperations, W::kvCache};
    const double changes[] = {0.5, -9, 3, 5, 1, 2, 4};
    AIBenchmarkSession current = certifiedSession();
    AIBenchmarkSession previous = earlierCertifiedSession(current);
    current.results.clear();
    previous.results.clear();
    for (int i = 0; i < 7; ++i) {
        current.results.push_back(expertResult(workloads[i], B::cpu, 1000 * (1 + changes[i] / 100)));
        previous.results.push_back(expertResult(workloads[i], B::cpu, 1000));
    }
    previous.results.push_back(expertResult(W::textEmbeddings, B::cpu, 1000));
    current.results.push_back(expertResult(W::textEmbeddings, B::gpu, 3000));  // another backend: no pair
    const std::string answer = compareRuns(L::english, current, {previous});
    EXPECT_NE(answer.find("Largest workload changes\n"
                          "• Matrix Multiplication FP16: -9.00% — CPU\n"
                          "• Convolution 2D: +5.00% — CPU\n"
                          "• KV Cache: +4.00% — CPU\n"
                          "• Matrix Multiplication INT8: +3.00% — CPU\n"
                          "• Tensor Operations: +2.00% — CPU\n"
                          "• Softmax + LayerNorm: +1.00% — CPU\n\n"),
              std::string::npos)
        << answer;

    // CPU wins by 3.0, 1.2, 2.5, 1.1 and 4.0 list the first four ratios, largest first.
    std::vector<AIBenchmarkResult> results;
    const double ratios[] = {3.0, 1.2, 2.5, 1.1, 4.0};
    for (int i = 0; i < 5; ++i) {
        results.push_back(expertResult(workloads[i], B::gpu, 100));
        results.push_back(expertResult(workloads[i], B::cpu, 100 * ratios[i]));
    }
    results.push_back(expertResult(W::kvCache, B::gpu, 100));
    results.push_back(expertResult(W::kvCache, B::neuralEnginePreferred, 500));  // a win, but no pair
    const std::string backends = compareBackends(L::english, sessionWith(results), expertSystem(), std::nullopt);
    EXPECT_TRUE(backends.starts_with("• CPU won 5 workloads; GPU won 0; Neural Engine Preferred won 1.\n")) << backends;
    EXPECT_NE(backends.find("Largest CPU wins\n"
                            "• Softmax + LayerNorm: CPU 4.00× faster by score.\n"
                            "• Matrix Multiplication FP32: CPU 3.00× faster by score.\n"
                            "• Matrix Multiplication INT8: CPU 2.50× faster by score.\n"
                            "• Matrix Multiplication FP16: CPU 1.20× faster by score.\n\n"
                            "Largest GPU wins\n• No equivalent CPU/GPU pair clearly favored the GPU."),
              std::string::npos)
        << backends;
}

TEST(AIAssistantRules, ScoreAndValidityExplanations)
{
    AIBenchmarkResult gpuLow = expertResult(W::matrixFP32, B::gpu, 400);
    AIBenchmarkResult gpuHigh = expertResult(W::convolution, B::gpu, 900);
    AIBenchmarkResult unmarked = expertResult(W::kvCache, B::gpu, 5000);
    unmarked.certifiedForComparison.reset();  // valid but not certified: neither counted nor diagnostic
    AIAssistantConversationContext context;
    EXPECT_EQ(
        explainWhy(L::english, std::nullopt, B::gpu, sessionWith({gpuLow, gpuHigh, unmarked}), expertSystem(), context),
        "The GPU backend has 2 certified results in this session, with an approximate geometric index of 600. "
        "Name a workload so I can explain the technical cause of the difference.");
    gpuLow.score = 0;
    gpuHigh.score = 0;
    EXPECT_TRUE(explainWhy(L::portuguese, std::nullopt, B::gpu, sessionWith({gpuLow, gpuHigh}), expertSystem(), context)
                    .starts_with("O backend GPU possui 2 resultados certificados nesta sessão, com índice geométrico "
                                 "aproximado de —."));
    context.lastWorkloadID = W::kvCache;  // a remembered workload wins over a newly named backend
    EXPECT_TRUE(explainWhy(L::english, std::nullopt, B::gpu, sessionWith({unmarked}), expertSystem(), context)
                    .starts_with("The KV Cache results in this session are diagnostic-only."));
    EXPECT_EQ(explainInvalidResults(L::english, sessionWith({unmarked})),
              "All loaded results are valid and there are no diagnostic results to explain.");

    std::vector<AIBenchmarkResult> diagnostic(20, expertResult(W::matrixFP16, B::gpu, 10, false));
    diagnostic[0].error = "Out of memory.";
    diagnostic[0].certificationNotes = std::vector<std::string>{"first note", "second note"};
    const std::string invalid = explainInvalidResults(L::english, sessionWith(diagnostic));
    EXPECT_TRUE(invalid.starts_with("I found 20 invalid or diagnostic-only results.")) << invalid;
    EXPECT_EQ(lineCount(invalid), 2 + 16);
    EXPECT_NE(invalid.find("• Matrix Multiplication FP16 — GPU: Out of memory.; first note; second note\n"
                           "• Matrix Multiplication FP16 — GPU: validation or certification did not pass\n"),
              std::string::npos);
}

TEST(AIAssistantRules, EvidenceDecision)
{
    using I = AIAssistantIntent;
    const struct {
        const char* prompt;
        I intent;
        std::optional<I> previous;
        bool expected;
    } cases[] = {
        {"hello, what is my score?", I::greeting, {}, false},
        {"tell me about the benchmark", I::followUp, I::hardware, false},
        {"and then?", I::followUp, I::memory, true},
        {"and then?", I::followUp, I::runMode, true},
        {"and then?", I::followUp, I::followUp, false},
        {"my results", I::followUp, std::nullopt, true},  // decided by the word lists
        {"How hot does my mac get?", I::hardware, {}, false},
        {"Is my mac thermal throttling?", I::hardware, {}, true},
        {"a plane of results", I::analyze, {}, true},
        {"Write a poem about the sea", I::analyze, {}, false},
        {"Qual a pontuação da minha máquina?", I::analyze, {}, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(promptUsesBenchmarkEvidence(c.prompt, c.intent, c.previous), c.expected) << c.prompt;
    }
}

TEST(AIAssistantRules, LocalModelContext)
{
    const std::string general = localModelContext(certifiedSession(), expertSystem(), {}, "expert", false);
    EXPECT_EQ(lineCount(general), 5);
    EXPECT_TRUE(
        general.ends_with("\nNo Korvalen evidence is attached to this request because the user is having a "
                          "general conversation."));

    // 3000 user-perceived characters, each a letter and a combining accent, are cut to 2400.
    std::string longAnswer;
    for (int i = 0; i < 3000; ++i) {
        longAnswer += "e\u0301";
    }
    AIBenchmarkSession full = certifiedSession();
    full.results.clear();
    for (W id : allWorkloadIDs()) {
        if (full.results.size() < 20) {
            full.results.push_back(expertResult(id, B::cpu, 100));
        }
    }
    const std::string evidence = localModelContext(full, expertSystem(), {full, full}, longAnswer, true);
    const std::string summary = "\nOlvane Expert evidence summary: ";
    const std::size_t start = evidence.find(summary) + summary.size();
    EXPECT_EQ(evidence.substr(start, evidence.find('\n', start) - start).size(), 2400 * std::string("e\u0301").size());
    EXPECT_NE(evidence.find("\nDetected system: Workstation9,1; CPU: Test CPU 16-Core; architecture: x86_64; memory: "
                            "31.9 GB; GPU: Test GPU; Neural Engine available: false.\n"),
              std::string::npos);
    EXPECT_NE(evidence.find("\nCurrent session: mode=Complete AI; Universal=980; Platform=1211; CPU=820; GPU=1300; "
                            "NeuralEnginePreferred=—; valid=8; invalid=0.\n"
                            "Result: Image Classification; backend=CPU; score=100; throughput=10.00 inferences/s; "
                            "median=2.0000 ms; p99=3.0000 ms; valid=true.\n"),
              std::string::npos);
    std::size_t resultCount = 0;
    for (std::size_t at = evidence.find("\nResult: "); at != std::string::npos;
         at = evidence.find("\nResult: ", at + 1)) {
        ++resultCount;
    }
    EXPECT_EQ(resultCount, 12u);
    EXPECT_TRUE(evidence.ends_with("\nSaved sessions available for comparison: 2."));
    EXPECT_NE(localModelContext(std::nullopt, expertSystem(), {}, "x", true)
                  .find("\nNo current benchmark session is loaded.\n"),
              std::string::npos);
}

}  // namespace
}  // namespace korvalen
