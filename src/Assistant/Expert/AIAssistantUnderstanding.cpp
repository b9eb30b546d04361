#include "Assistant/Expert/AIAssistantUnderstanding.h"
#include "Assistant/Expert/AIAssistantEngine.h"
#include "Assistant/Expert/AIAssistantText.h"

#include "Model/AIWorkloadCatalog.h"

#include <QChar>
#include <QList>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace korvalen::AIAssistantEngine {

using namespace detail;

namespace {

constexpr std::array<std::string_view, 32> portugueseMarkers{
    "o que",       "por que",  "porque",   "qual",      "como",       "resultado", "memoria", "melhor",
    "pior",        "comparar", "compare",  "explicar",  "explique",   "analise",   "analisa", "desempenho",
    "processador", "placa",    "execucao", "pontuacao", "pontuacoes", "invalido",  "a ia",    "tem de",
    "preciso",     "melhorar", "ficou",    "estava",    "meu",        "minha",     "nao",     "sim"};

constexpr std::array<std::string_view, 21> englishMarkers{
    "what",    "why",     "which",   "how",     "result",      "memory",    "better",
    "worse",   "compare", "explain", "analyze", "performance", "processor", "score",
    "invalid", "should",  "improve", "my",      "the",         "is",        "was"};

constexpr std::array<std::string_view, 10> referenceWords{"this", "that", "it",  "esse",    "essa",
                                                          "isso", "ele",  "ela", "por que", "why"};

struct WorkloadAliases {
    AIWorkloadID id;
    std::vector<std::string_view> phrases;
};

// In workload order; each workload's catalog title is tried after its aliases.
const std::vector<WorkloadAliases>& workloadAliases()
{
    using W = AIWorkloadID;
    static const std::vector<WorkloadAliases> table{
        {W::imageClassification,
         {"image classification", "classification", "classificacao de imagem", "classificacao"}},
        {W::objectDetection, {"object detection", "detection", "deteccao de objeto", "deteccao"}},
        {W::semanticSegmentation, {"semantic segmentation", "segmentation", "segmentacao semantica", "segmentacao"}},
        {W::superResolution, {"super resolution", "upscale", "super resolucao"}},
        {W::multimodalSimilarity, {"multimodal similarity", "clip", "similaridade multimodal"}},
        {W::textTokenization, {"text tokenization", "tokenization", "tokenizacao"}},
        {W::textEmbeddings, {"text embeddings", "embeddings", "embedding"}},
        {W::ropeRMSNorm, {"rope rmsnorm", "rope", "rmsnorm"}},
        {W::transformerAttention, {"transformer attention", "attention", "atencao transformer", "atencao"}},
        {W::llmPromptProcessing, {"llm prompt processing", "prompt processing", "prefill", "processamento de prompt"}},
        {W::llmTokenGeneration, {"llm token generation", "token generation", "decode", "geracao de token", "geracao"}},
        {W::diffusionDenoise, {"diffusion denoise", "diffusion", "difusao", "denoise"}},
        {W::melSpectrogram, {"mel spectrogram", "spectrogram", "espectrograma mel"}},
        {W::speechRecognition, {"speech recognition", "transcription", "reconhecimento de fala", "transcricao"}},
        {W::noiseSuppression, {"noise suppression", "supressao de ruido", "reducao de ruido"}},
        {W::audioClassification, {"audio classification", "classificacao de audio"}},
        {W::matrixFP32, {"matrix fp32", "fp32 matrix", "matriz fp32"}},
        {W::matrixFP16, {"matrix fp16", "fp16 matrix", "matriz fp16"}},
        {W::matrixINT8, {"matrix int8", "int8 matrix", "matriz int8", "int8"}},
        {W::convolution, {"convolution 2d", "convolution", "convolucao"}},
        {W::softmaxLayerNorm, {"softmax layernorm", "softmax", "layernorm"}},
        {W::tensorOperations, {"tensor operations", "operacoes de tensor", "tensor"}},
        {W::threadScaling, {"thread scaling", "escalabilidade de threads", "threads"}},
        {W::gpuCommandThroughput, {"gpu command throughput", "command throughput", "comandos gpu"}},
        {W::metalMemoryBandwidth,
         {"metal device memory bandwidth", "metal memory bandwidth", "largura de banda metal"}},
        {W::metalCacheLadder, {"metal cache ladder", "cache ladder metal", "hierarquia de cache metal"}},
        {W::llmGEMVFP16, {"llm gemv fp16", "gemv fp16", "metal gemv"}},
        {W::llmQ4, {"llm q4 dequant gemv", "q4 gemv", "metal q4", "q4 dequant"}},
        {W::attentionPrefill, {"metal attention prefill", "attention prefill", "prefill metal"}},
        {W::attentionDecode, {"metal attention decode", "attention decode", "decode metal"}},
        {W::kvCacheReadWrite, {"metal kv cache read write", "kv cache read write", "leitura escrita kv metal"}},
        {W::metalSustained, {"metal sustained ai", "metal sustained", "stress metal"}},
        {W::gpuTransfer, {"gpu tensor transfer", "gpu transfer", "transferencia gpu"}},
        {W::fineTuningStep, {"fine tuning", "fine-tuning", "ajuste fino", "treinamento"}},
        {W::modelLoading, {"model loading", "carregamento de modelo"}},
        {W::tensorAllocation, {"tensor allocation", "alocacao de tensor"}},
        {W::memoryPressure, {"memory pressure", "pressao de memoria"}},
        {W::kvCache, {"kv cache", "cache kv"}},
        {W::batchScaling, {"batch scaling", "escalabilidade de batch", "batch"}},
        {W::mixedSustained, {"mixed sustained", "sustained ai", "ai stress", "carga sustentada", "stress"}},
    };
    return table;
}

// A phrase of workload detection, normalised and split once for the life of the process.
struct Phrase {
    AIWorkloadID workload;
    std::string text;
    std::vector<std::string> tokenSet;  // sorted, without repeats
};

std::vector<std::string> tokenSet(std::string_view normalized)
{
    std::vector<std::string> set = detail::tokensOfNormalized(normalized);
    std::sort(set.begin(), set.end());
    set.erase(std::unique(set.begin(), set.end()), set.end());
    return set;
}

const std::vector<Phrase>& phrases()
{
    static const std::vector<Phrase> all = [] {
        std::vector<Phrase> list;
        for (const WorkloadAliases& entry : workloadAliases()) {
            auto add = [&](std::string_view phrase) {
                std::string text = normalize(phrase);
                std::vector<std::string> set = tokenSet(text);
                list.push_back({entry.id, std::move(text), std::move(set)});
            };
            for (std::string_view phrase : entry.phrases) {
                add(phrase);
            }
            add(definition(entry.id).title);
        }
        return list;
    }();
    return all;
}

double jaccard(const std::vector<std::string>& a, const std::vector<std::string>& b)
{
    if (a.empty() || b.empty()) {
        return 0;
    }
    std::size_t common = 0;
    for (const std::string& token : b) {
        if (std::binary_search(a.begin(), a.end(), token)) {
            ++common;
        }
    }
    return static_cast<double>(common) / static_cast<double>(a.size() + b.size() - common);
}

bool isAscii(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

namespace detail {

bool contains(std::string_view normalizedText, std::string_view keyword)
{
    if (keyword.empty()) {
        return true;
    }
    // memmem's two-way search keeps a very long question linear.
    return ::memmem(normalizedText.data(), normalizedText.size(), keyword.data(), keyword.size()) != nullptr;
}

std::vector<std::string> tokensOfNormalized(std::string_view normalized)
{
    std::vector<std::string> result;
    if (isAscii(normalized)) {
        std::string current;
        for (char c : normalized) {
            if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
                current += c;
            } else if (!current.empty()) {
                result.push_back(std::move(current));
                current.clear();
            }
        }
        if (!current.empty()) {
            result.push_back(std::move(current));
        }
        return result;
    }
    const QList<uint> codePoints =
        QString::fromUtf8(normalized.data(), static_cast<qsizetype>(normalized.size())).toUcs4();
    QList<uint> current;
    auto flush = [&] {
        if (!current.isEmpty()) {
            result.push_back(QString::fromUcs4(reinterpret_cast<const char32_t*>(current.constData()), current.size())
                                 .toStdString());
            current.clear();
        }
    };
    for (uint codePoint : codePoints) {
        if (QChar::isLetterOrNumber(static_cast<char32_t>(codePoint))) {
            current.push_back(codePoint);
        } else {
            flush();
        }
    }
    flush();
    return result;
}

QuestionTerms::QuestionTerms(std::string_view question)
    : normalized(normalize(question)), tokenSet(::korvalen::AIAssistantEngine::tokenSet(normalized))
{}

std::optional<AIWorkloadID> resolveWorkload(const QuestionTerms& question)
{
    std::optional<AIWorkloadID> best;
    double bestScore = 0;
    for (const Phrase& phrase : phrases()) {
        const double s = contains(question.normalized, phrase.text) ? 1.0 : jaccard(question.tokenSet, phrase.tokenSet);
        if ((!best && s > 0) || (best && s > bestScore)) {
            best = phrase.workload;
            bestScore = s;
        }
    }
    if (best && bestScore >= 0.58) {
        return best;
    }
    return std::nullopt;
}

bool hasReferenceWord(std::string_view normalizedQuestion)
{
    return containsAny(normalizedQuestion, referenceWords);
}

AIAssistantLanguage languageOfNormalized(std::string_view text, AIAssistantLanguage fallback)
{
    const auto hits = [&](const auto& markers) {
        return std::count_if(markers.begin(), markers.end(), [&](std::string_view m) { return contains(text, m); });
    };
    const auto portuguese = hits(portugueseMarkers);
    const auto english = hits(englishMarkers);
    if (portuguese > english) {
        return AIAssistantLanguage::portuguese;
    }
    if (english > portuguese) {
        return AIAssistantLanguage::english;
    }
    return fallback;
}

}  // namespace detail

namespace {

// Folds a piece of non-ASCII text. Lower-case first: a few lower-case mappings add combining marks,
// which the fold then drops, so normalising twice changes nothing.
std::string foldPiece(const QString& piece)
{
    const QList<uint> codePoints = piece.toLower().normalized(QString::NormalizationForm_D).toUcs4();
    QList<uint> kept;
    kept.reserve(codePoints.size());
    for (uint codePoint : codePoints) {
        if (QChar::category(static_cast<char32_t>(codePoint)) == QChar::Mark_NonSpacing) {
            continue;
        }
        kept.push_back(codePoint == 0x00D7 ? uint('x') : codePoint);
    }
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(kept.constData()), kept.size())
        .normalized(QString::NormalizationForm_C)
        .toLower()
        .toStdString();
}

// What the piecewise fold needs to know of a code point, lower-cased and fully decomposed.
enum CodePointTrait : std::uint8_t {
    // It begins with a character that has no combining class, is kept by the fold and composes with
    // nothing before it: neither the decomposition nor the composition of the whole text reaches
    // across it, so the text may be cut in front of it.
    startsPiece = 1,
    // It is combining marks only, each with a combining class, all dropped by the fold: taking it
    // out first changes nothing (canonical ordering is a stable sort, and such marks never end a
    // run of marks).
    droppedMark = 2,
    // It is non-spacing marks only: the fold keeps nothing of it.
    vanishes = 4,
    // It holds a kept character outside the BMP that composes with the character before it. Qt's
    // composition misreads the character after such a composed pair, so the text is never cut right
    // after one: the misreading must happen within the same piece.
    composesAstral = 8,
};

const std::vector<std::uint8_t>& codePointTraits()
{
    static const std::vector<std::uint8_t> traits = [] {
        constexpr char32_t end = 0x110000;
        // The second character of every canonical pair, and the Hangul vowels and final consonants:
        // what may compose with the character before it.
        std::vector<bool> second(end);
        for (char32_t c = 0; c < end; ++c) {
            if (QChar::decompositionTag(c) != QChar::Canonical) continue;
            const QList<uint> parts = QChar::decomposition(c).toUcs4();
            if (parts.size() == 2) second[parts[1]] = true;
        }
        for (char32_t c = 0x1161; c <= 0x1175; ++c) second[c] = true;
        for (char32_t c = 0x11A8; c <= 0x11C2; ++c) second[c] = true;
        const auto isMark = [](uint c) { return QChar::category(static_cast<char32_t>(c)) == QChar::Mark_NonSpacing; };
        const auto hasClass = [](uint c) { return QChar::combiningClass(static_cast<char32_t>(c)) != 0; };
        std::vector<std::uint8_t> table(end);
        const auto traitsOf = [&](const QList<uint>& parts, bool lowerIsSame) {
            std::uint8_t trait = 0;
            const uint first = parts.front();
            if (!hasClass(first) && !isMark(first) && !second[first]) trait |= startsPiece;
            if (lowerIsSame &&
                std::all_of(parts.begin(), parts.end(), [&](uint p) { return isMark(p) && hasClass(p); }))
                trait |= droppedMark;
            if (std::all_of(parts.begin(), parts.end(), isMark)) trait |= vanishes;
            if (std::any_of(parts.begin(), parts.end(),
                            [&](uint p) { return p >= 0x10000 && second[p] && !isMark(p); }))
                trait |= composesAstral;
            return trait;
        };
        for (char32_t c = 0; c < end; ++c) {
            if (c >= 0xD800 && c <= 0xDFFF) continue;
            // A character whose lower case is more than one code point (U+0130) has no trait.
            if (QChar::isUpper(c) || QChar::isTitleCase(c)) {
                const QString one = QString::fromUcs4(&c, 1);
                if (one.toLower().size() != one.size()) continue;
            }
            const char32_t lower = QChar::toLower(c);
            if (QChar::decompositionTag(lower) != QChar::Canonical) {
                // Most code points: the lower case alone, without allocating.
                std::uint8_t trait = 0;
                const bool mark = isMark(lower);
                const bool classed = hasClass(lower);
                // QString::fromUcs4 drops a leading U+FEFF as a byte-order mark: the whole run's fold
                // keeps one inside it, so no piece may begin with it.
                if (!classed && !mark && !second[lower] && lower != 0xFEFF) trait |= startsPiece;
                if (lower == c && mark && classed) trait |= droppedMark;
                if (mark) trait |= vanishes;
                if (lower >= 0x10000 && second[lower] && !mark) trait |= composesAstral;
                table[c] = trait;
                continue;
            }
            QList<uint> parts{lower};
            for (qsizetype i = 0; i < parts.size();) {
                const auto part = static_cast<char32_t>(parts[i]);
                if (QChar::decompositionTag(part) != QChar::Canonical) {
                    ++i;
                    continue;
                }
                const QList<uint> inner = QChar::decomposition(part).toUcs4();
                parts.remove(i);
                for (qsizetype j = 0; j < inner.size(); ++j) parts.insert(i + j, inner[j]);
            }
            table[c] = traitsOf(parts, lower == c);
        }
        return table;
    }();
    return traits;
}

}  // namespace

namespace detail {

// Unicode normalisation costs more than linear time over one long run (each decomposition shifts the
// rest of the text, and marks are ordered by insertion), so a long run is folded in pieces of about
// `pieceLength` UTF-16 units, cut only where the whole run's fold gives the same text. Marks that the
// fold drops are dropped first, and the remaining combining characters (spacing ones) are put in
// canonical order, so that no piece is long or slow however the text is made.
std::string foldNonAscii(std::string_view run, std::ptrdiff_t pieceLength)
{
    const QString text = QString::fromUtf8(run.data(), static_cast<qsizetype>(run.size()));
    if (text.size() <= pieceLength) {
        return foldPiece(text);
    }
    const std::vector<std::uint8_t>& traits = codePointTraits();
    std::string folded;
    folded.reserve(run.size());
    QString piece;
    // Where the current run of combining characters began in `piece`.
    qsizetype marksFrom = -1;
    // Whether a cut here would part a composed astral pair from the character after it.
    bool holdCut = false;
    const auto orderMarks = [&] {
        if (marksFrom < 0) return;
        QList<uint> marks = QStringView(piece).mid(marksFrom).toUcs4();
        std::stable_sort(marks.begin(), marks.end(), [](uint a, uint b) {
            return QChar::combiningClass(static_cast<char32_t>(a)) < QChar::combiningClass(static_cast<char32_t>(b));
        });
        piece.truncate(marksFrom);
        piece.append(QString::fromUcs4(reinterpret_cast<const char32_t*>(marks.constData()), marks.size()));
        marksFrom = -1;
    };
    for (const uint codePoint : QStringView(text).toUcs4()) {
        const auto c = static_cast<char32_t>(codePoint);
        const std::uint8_t trait = traits[c];
        if (trait & droppedMark) {
            continue;
        }
        if (QChar::combiningClass(c) != 0) {
            if (marksFrom < 0) marksFrom = piece.size();
            holdCut = holdCut || (trait & composesAstral);
            piece.append(QChar::fromUcs4(c));
            continue;
        }
        orderMarks();
        if ((trait & startsPiece) && !holdCut && piece.size() >= pieceLength) {
            folded += foldPiece(piece);
            piece.clear();
        }
        piece.append(QChar::fromUcs4(c));
        if (!(trait & vanishes)) holdCut = trait & composesAstral;
    }
    orderMarks();
    folded += foldPiece(piece);
    return folded;
}

}  // namespace detail

std::string normalize(std::string_view text)
{
    // ASCII folds byte by byte; only the runs of other characters (whole UTF-8 sequences, since their
    // bytes are all above 0x7F) go through Unicode decomposition, which keeps long questions cheap.
    std::string folded;
    folded.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            folded += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && static_cast<unsigned char>(text[end]) >= 0x80) {
            ++end;
        }
        folded += foldNonAscii(text.substr(i, end - i));
        i = end;
    }
    return folded;
}

std::vector<std::string> tokens(std::string_view text)
{
    return tokensOfNormalized(normalize(text));
}

double phraseSimilarity(std::string_view text, std::string_view phrase)
{
    const std::string normalizedText = normalize(text);
    const std::string normalizedPhrase = normalize(phrase);
    if (contains(normalizedText, normalizedPhrase)) {
        return 1;
    }
    return jaccard(tokenSet(normalizedText), tokenSet(normalizedPhrase));
}

std::optional<AIWorkloadID> resolveWorkload(std::string_view question)
{
    return detail::resolveWorkload(QuestionTerms(question));
}

AIAssistantLanguage detectLanguage(const std::string& question, AIAssistantLanguage fallback)
{
    return detail::languageOfNormalized(normalize(question), fallback);
}

std::optional<AIBackend> detectBackend(std::string_view question)
{
    return detail::backendOfNormalized(normalize(question));
}

std::optional<AIBackend> detail::backendOfNormalized(std::string_view text)
{
    if (containsAny(text, std::array<std::string_view, 3>{"neural engine", "ane", "motor neural"})) {
        return AIBackend::neuralEnginePreferred;
    }
    if (containsAny(text, std::array<std::string_view, 4>{"gpu", "metal", "placa de video", "radeon"})) {
        return AIBackend::gpu;
    }
    if (containsAny(text, std::array<std::string_view, 3>{"cpu", "processor", "processador"})) {
        return AIBackend::cpu;
    }
    if (containsAny(text, std::array<std::string_view, 5>{"best available", "automatic", "automatico", "calibrated",
                                                          "calibrado"})) {
        return AIBackend::automatic;
    }
    return std::nullopt;
}

AIAssistantIntent detectIntent(std::string_view normalizedQuestion, std::optional<AIWorkloadID> workload,
                               std::optional<AIBackend> backend, const AIAssistantConversationContext& context)
{
    return detail::intentOfNormalized(normalize(normalizedQuestion), workload, backend, context.lastIntent);
}

AIAssistantIntent detail::intentOfNormalized(std::string_view text, std::optional<AIWorkloadID> workload,
                                             std::optional<AIBackend> backend,
                                             std::optional<AIAssistantIntent> lastIntent)
{
    using I = AIAssistantIntent;
    struct Rule {
        I intent;
        std::vector<std::string_view> keywords;
    };
    // Steps 1 to 9, tried in order; the first list with a hit decides.
    static const std::vector<Rule> lists{
        {I::greeting, {"hello", "hi", "hey", "ola", "bom dia", "boa tarde", "boa noite"}},
        {I::invalidResults, {"invalid", "diagnostic", "failed", "failure", "erro", "falha", "invalido", "diagnostico"}},
        {I::compareRuns,
         {"previous run", "last run", "history", "regression", "improvement between", "execucao anterior", "historico",
          "regressao", "melhorou", "piorou"}},
        {I::compareBackends,
         {"cpu vs gpu", "gpu vs cpu", "compare backends", "compare accelerators", "cpu e gpu", "cpu x gpu",
          "comparar backends", "comparar aceleradores"}},
        {I::memory,
         {"memory", "ram", "kv cache", "allocation", "pressure", "retained", "leak", "memoria", "alocacao", "pressao",
          "retencao", "vazamento"}},
        {I::stability,
         {"stability", "variation", "p99", "thermal", "throttling", "retention", "repeatability", "estabilidade",
          "variacao", "termico", "repetibilidade"}},
        {I::improvement,
         {"what should", "how improve", "recommend", "fix", "retest", "o que melhorar", "como melhorar", "recomenda",
          "corrigir", "retestar", "preciso melhorar"}},
        {I::runMode,
         {"quick ai", "complete ai", "extended ai", "ai stress", "which mode", "modo", "qual teste", "qual benchmark"}},
        {I::hardware,
         {"hardware", "computer", "machine", "mac", "processor", "graphics card", "gpu model", "cpu model",
          "computador", "maquina", "processador", "placa de video"}},
    };
    const auto hit = [&](const std::vector<std::string_view>& keywords) {
        return std::any_of(keywords.begin(), keywords.end(), [&](std::string_view k) { return contains(text, k); });
    };
    for (const Rule& rule : lists) {
        if (hit(rule.keywords)) {
            return rule.intent;
        }
    }
    if (workload) {
        return hit({"why", "slow", "fast", "low", "high", "por que", "lento", "rapido", "baixo", "alto", "ficou"})
                   ? I::explainScore
                   : I::explainWorkload;
    }
    if (backend && hit({"why", "better", "worse", "por que", "melhor", "pior"})) {
        return I::compareBackends;
    }
    if (hit({"analyze", "analyse", "summary", "overview", "result", "score", "analise", "resumo", "resultado",
             "pontuacao"})) {
        return I::analyze;
    }
    if (hit({"why", "por que", "e a gpu", "e o cpu", "and gpu", "and cpu", "what about", "e esse", "e isso"})) {
        return I::followUp;
    }
    if (lastIntent && tokensOfNormalized(text).size() < 6) {
        return I::followUp;
    }
    return I::unknown;
}

}  // namespace korvalen::AIAssistantEngine
