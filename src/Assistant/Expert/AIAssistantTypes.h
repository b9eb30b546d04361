#pragma once

#include "Model/AIVocabulary.h"
#include "Platform/Foundation/Date.h"
#include "Platform/Foundation/Uuid.h"

#include <nlohmann/json.hpp>

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace korvalen {

// What a question asks for. The case order is the expert's dispatch order and the bit order of the
// local model's evidence mask, so it must not change.
enum class AIAssistantIntent {
    greeting,
    analyze,
    invalidResults,
    compareRuns,
    compareBackends,
    explainWorkload,
    explainScore,
    memory,
    stability,
    improvement,
    hardware,
    runMode,
    followUp,
    unknown,
};
enum class AIAssistantRole { assistant, user, system };
enum class AIAssistantLanguage { portuguese, english };
enum class AIAssistantProvider { olvaneExpert, localModel };

inline constexpr std::array<AIAssistantIntent, 14> allAssistantIntents{
    AIAssistantIntent::greeting,     AIAssistantIntent::analyze,         AIAssistantIntent::invalidResults,
    AIAssistantIntent::compareRuns,  AIAssistantIntent::compareBackends, AIAssistantIntent::explainWorkload,
    AIAssistantIntent::explainScore, AIAssistantIntent::memory,          AIAssistantIntent::stability,
    AIAssistantIntent::improvement,  AIAssistantIntent::hardware,        AIAssistantIntent::runMode,
    AIAssistantIntent::followUp,     AIAssistantIntent::unknown};
inline constexpr std::array<AIAssistantRole, 3> allAssistantRoles{AIAssistantRole::assistant, AIAssistantRole::user,
                                                                  AIAssistantRole::system};
inline constexpr std::array<AIAssistantLanguage, 2> allAssistantLanguages{AIAssistantLanguage::portuguese,
                                                                          AIAssistantLanguage::english};
inline constexpr std::array<AIAssistantProvider, 2> allAssistantProviders{AIAssistantProvider::olvaneExpert,
                                                                          AIAssistantProvider::localModel};

// Intents, roles and languages store their case name; a provider stores its display title, which is
// also its identifier and its persisted form.
std::string_view rawValue(AIAssistantIntent);
std::string_view rawValue(AIAssistantRole);
std::string_view rawValue(AIAssistantLanguage);
std::string_view rawValue(AIAssistantProvider);
template <>
std::optional<AIAssistantIntent> fromRaw<AIAssistantIntent>(std::string_view);
template <>
std::optional<AIAssistantRole> fromRaw<AIAssistantRole>(std::string_view);
template <>
std::optional<AIAssistantLanguage> fromRaw<AIAssistantLanguage>(std::string_view);
template <>
std::optional<AIAssistantProvider> fromRaw<AIAssistantProvider>(std::string_view);
inline std::string_view identifier(AIAssistantProvider provider)
{
    return rawValue(provider);
}

// One chat message.
struct AIAssistantMessage {
    Uuid id;
    AIAssistantRole role = AIAssistantRole::assistant;
    std::string text;
    Date createdAt{};
    bool operator==(const AIAssistantMessage&) const = default;
};

// Keys "id", "role", "text", "createdAt"; reading throws JSONDecodingError.
nlohmann::json toJSON(const AIAssistantMessage& message);
AIAssistantMessage messageFromJSON(const nlohmann::json& value);

// One answer of the assistant.
struct AIAssistantResponse {
    std::string text;
    AIAssistantIntent intent = AIAssistantIntent::unknown;
    AIAssistantLanguage language = AIAssistantLanguage::english;
    double confidence = 0;
    std::optional<AIWorkloadID> workloadID;
    std::optional<AIBackend> backend;
    std::string engine;
    bool fallbackUsed = false;
    bool operator==(const AIAssistantResponse&) const = default;
};

// What the next question may refer back to. A new context answers in English and remembers nothing.
struct AIAssistantConversationContext {
    AIAssistantLanguage language = AIAssistantLanguage::english;
    std::optional<AIAssistantIntent> lastIntent;
    std::optional<AIWorkloadID> lastWorkloadID;
    std::optional<AIBackend> lastBackend;
    std::optional<std::string> lastQuestion;
    bool operator==(const AIAssistantConversationContext&) const = default;
};

}  // namespace korvalen
