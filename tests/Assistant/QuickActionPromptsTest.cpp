#include "Assistant/Expert/AIAssistantEngine.h"
#include "Assistant/Views/AssistantPane.h"
#include "support/SessionBuilders.h"

#include <gtest/gtest.h>

#include <map>

namespace korvalen {
namespace {

// Each quick action's fixed prompt must make the expert answer what its button names, also in the
// middle of a conversation (a previous intent, workload, backend and language in the context), and
// in English: the prompts are English whatever was said before.
TEST(QuickActionPrompts, TheExpertAnswersWhatEachButtonNames)
{
    const std::map<std::string, AIAssistantIntent> expected = {
        {"Analyze my result", AIAssistantIntent::analyze},
        {"Compare CPU and GPU", AIAssistantIntent::compareBackends},
        {"Compare runs", AIAssistantIntent::compareRuns},
        {"How to improve", AIAssistantIntent::improvement},
    };
    const auto& actions = AssistantPane::quickActions();
    ASSERT_EQ(actions.size(), expected.size());
    EXPECT_TRUE(std::string(actions[0].prompt)
                    .starts_with("Analyze my latest benchmark result in depth. Identify strengths, bottlenecks, "
                                 "anomalies, and certification issues."));

    std::vector<AIAssistantConversationContext> contexts = {{}};
    for (int i = 0; i <= static_cast<int>(AIAssistantIntent::unknown); ++i)
        contexts.push_back({AIAssistantLanguage::portuguese, static_cast<AIAssistantIntent>(i),
                            AIWorkloadID::transformerAttention, AIBackend::gpu, "e isso?"});
    const AIBenchmarkSession session = testing::sampleSession(5);
    for (const auto& action : actions) {
        ASSERT_TRUE(expected.contains(action.title)) << action.title;
        for (const auto& context : contexts) {
            SCOPED_TRACE(std::string(action.title) + " after " +
                         (context.lastIntent ? std::string(rawValue(*context.lastIntent)) : "nothing"));
            const auto answer =
                AIAssistantEngine::respond(action.prompt, session, session.system, {}, context, [] { return false; });
            ASSERT_TRUE(answer);
            EXPECT_EQ(rawValue(answer->intent), rawValue(expected.at(action.title)));
            EXPECT_EQ(answer->language, AIAssistantLanguage::english);
            EXPECT_FALSE(answer->workloadID) << "a remembered workload would narrow the answer";
        }
    }
}

}  // namespace
}  // namespace korvalen
