#pragma once

// Question reading shared by the dispatch; not part of the library's interface.

#include "Assistant/Expert/AIAssistantTypes.h"
#include "Model/AIVocabulary.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalen::AIAssistantEngine::detail {

std::vector<std::string> tokensOfNormalized(std::string_view normalized);

// The fold of a run of non-ASCII characters (whole UTF-8 sequences) for normalize: case and
// diacritics folded, "×" read as "x". A run longer than `pieceLength` UTF-16 units is folded in
// pieces of about that length, with the same result.
std::string foldNonAscii(std::string_view run, std::ptrdiff_t pieceLength = 256);

// A question normalised and split once, so that matching it against every phrase stays cheap however
// long it is.
struct QuestionTerms {
    explicit QuestionTerms(std::string_view question);
    std::string normalized;
    std::vector<std::string> tokenSet;  // sorted, without repeats
};

// The best workload phrase match, accepted at a similarity of 0.58 or more.
std::optional<AIWorkloadID> resolveWorkload(const QuestionTerms& question);
bool hasReferenceWord(std::string_view normalizedQuestion);

// The detections on text that is already normalised.
AIAssistantLanguage languageOfNormalized(std::string_view text, AIAssistantLanguage fallback);
std::optional<AIBackend> backendOfNormalized(std::string_view text);
AIAssistantIntent intentOfNormalized(std::string_view text, std::optional<AIWorkloadID> workload,
                                     std::optional<AIBackend> backend, std::optional<AIAssistantIntent> lastIntent);

}  // namespace korvalen::AIAssistantEngine::detail
