#include "Assistant/Expert/AIAssistantTypes.h"

#include "Platform/Foundation/StrictJSON.h"

#include <gtest/gtest.h>

namespace korvalen {
namespace {

TEST(AIAssistantTypes, RawValuesRoundTripAndAreCaseSensitive)
{
    for (AIAssistantIntent intent : allAssistantIntents) {
        EXPECT_EQ(fromRaw<AIAssistantIntent>(rawValue(intent)), intent);
    }
    EXPECT_EQ(rawValue(AIAssistantIntent::invalidResults), "invalidResults");
    EXPECT_EQ(fromRaw<AIAssistantIntent>("Greeting"), std::nullopt);
    EXPECT_EQ(fromRaw<AIAssistantProvider>("Olvane Expert 2 — Offline"), AIAssistantProvider::olvaneExpert);
    EXPECT_EQ(fromRaw<AIAssistantProvider>("Local LLM — OpenAI Compatible"), AIAssistantProvider::localModel);
    EXPECT_EQ(fromRaw<AIAssistantProvider>("Local LLM - OpenAI Compatible"), std::nullopt);
    EXPECT_EQ(fromRaw<AIAssistantRole>("user"), AIAssistantRole::user);
    EXPECT_EQ(fromRaw<AIAssistantLanguage>("portuguese"), AIAssistantLanguage::portuguese);
}

TEST(AIAssistantTypes, MessageCodingUsesItsFourKeysAndRefusesBadValues)
{
    AIAssistantMessage message{Uuid::random(), AIAssistantRole::user, "Olá\n×",
                               parseISODate("2026-12-07T03:53:19.123Z").value()};
    const nlohmann::json json = toJSON(message);
    EXPECT_EQ(json.size(), 4u);
    EXPECT_EQ(json["role"], "user");
    EXPECT_EQ(messageFromJSON(json), message);

    nlohmann::json badRole = json;
    badRole["role"] = "User";
    EXPECT_THROW(messageFromJSON(badRole), JSONDecodingError);
    nlohmann::json missing = json;
    missing.erase("text");
    EXPECT_THROW(messageFromJSON(missing), JSONDecodingError);
    EXPECT_THROW(messageFromJSON(nlohmann::json::array({1, 2})), JSONDecodingError);
}

}  // namespace
}  // namespace korvalen
