#include "Assistant/Expert/AIAssistantEngine.h"

namespace korvalen::AIAssistantEngine {

bool promptUsesBenchmarkEvidence(const std::string&, AIAssistantIntent, std::optional<AIAssistantIntent>)
{
    return false;
}

std::string localModelContext(const Session&, const AISystemProfile&, const History&, const std::string&, bool)
{
    return {};
}

}  // namespace korvalen::AIAssistantEngine
