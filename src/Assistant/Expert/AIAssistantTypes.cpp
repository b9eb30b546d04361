#include "Assistant/Expert/AIAssistantTypes.h"

#include "Platform/Foundation/StrictJSON.h"

namespace korvalen {

std::string_view rawValue(AIAssistantIntent intent)
{
    switch (intent) {
    case AIAssistantIntent::greeting: return "greeting";
    case AIAssistantIntent::analyze: return "analyze";
    case AIAssistantIntent::invalidResults: return "invalidResults";
    case AIAssistantIntent::compareRuns: return "compareRuns";
    case AIAssistantIntent::compareBackends: return "compareBackends";
    case AIAssistantIntent::explainWorkload: return "explainWorkload";
    case AIAssistantIntent::explainScore: return "explainScore";
    case AIAssistantIntent::memory: return "memory";
    case AIAssistantIntent::stability: return "stability";
    case AIAssistantIntent::improvement: return "improvement";
    case AIAssistantIntent::hardware: return "hardware";
    case AIAssistantIntent::runMode: return "runMode";
    case AIAssistantIntent::followUp: return "followUp";
    case AIAssistantIntent::unknown: return "unknown";
    }
    return {};
}

std::string_view rawValue(AIAssistantRole role)
{
    switch (role) {
    case AIAssistantRole::assistant: return "assistant";
    case AIAssistantRole::user: return "user";
    case AIAssistantRole::system: return "system";
    }
    return {};
}

std::string_view rawValue(AIAssistantLanguage language)
{
    switch (language) {
    case AIAssistantLanguage::portuguese: return "portuguese";
    case AIAssistantLanguage::english: return "english";
    }
    return {};
}

std::string_view rawValue(AIAssistantProvider provider)
{
    switch (provider) {
    case AIAssistantProvider::olvaneExpert: return "Olvane Expert 2 — Offline";
    case AIAssistantProvider::localModel: return "Local LLM — OpenAI Compatible";
    }
    return {};
}

template <>
std::optional<AIAssistantIntent> fromRaw<AIAssistantIntent>(std::string_view raw)
{
    return matchRaw(allAssistantIntents, raw);
}
template <>
std::optional<AIAssistantRole> fromRaw<AIAssistantRole>(std::string_view raw)
{
    return matchRaw(allAssistantRoles, raw);
}
template <>
std::optional<AIAssistantLanguage> fromRaw<AIAssistantLanguage>(std::string_view raw)
{
    return matchRaw(allAssistantLanguages, raw);
}
template <>
std::optional<AIAssistantProvider> fromRaw<AIAssistantProvider>(std::string_view raw)
{
    return matchRaw(allAssistantProviders, raw);
}

nlohmann::json toJSON(const AIAssistantMessage& message)
{
    nlohmann::json json = nlohmann::json::object();
    json["id"] = strictjson::encodeUuid(message.id);
    json["role"] = std::string(rawValue(message.role));
    json["text"] = message.text;
    json["createdAt"] = strictjson::encodeDate(message.createdAt);
    return json;
}

AIAssistantMessage messageFromJSON(const nlohmann::json& value)
{
    using Kind = JSONDecodingError::Kind;
    if (!value.is_object()) {
        throw JSONDecodingError(Kind::typeMismatch, "", "expected an object");
    }
    const auto required = [&](const char* key) -> const nlohmann::json& {
        const auto it = value.find(key);
        if (it == value.end()) {
            throw JSONDecodingError(Kind::keyNotFound, key, "missing key");
        }
        if (it->is_null()) {
            throw JSONDecodingError(Kind::valueNotFound, key, "null value");
        }
        return *it;
    };
    AIAssistantMessage message;
    message.id = strictjson::decodeUuid(required("id"), "id");
    const std::string role = strictjson::decodeString(required("role"), "role");
    const auto decodedRole = fromRaw<AIAssistantRole>(role);
    if (!decodedRole) {
        throw JSONDecodingError(Kind::dataCorrupted, "role", "unknown role \"" + role + "\"");
    }
    message.role = *decodedRole;
    message.text = strictjson::decodeString(required("text"), "text");
    message.createdAt = strictjson::decodeDate(required("createdAt"), "createdAt");
    return message;
}

}  // namespace korvalen
