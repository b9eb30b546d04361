#include "Assistant/Expert/AIAssistantEngine.h"

namespace korvalen::AIAssistantEngine {

std::optional<AIAssistantResponse> respond(const std::string&, const Session&, const AISystemProfile&, const History&,
                                           const AIAssistantConversationContext& context,
                                           const std::function<bool()>& cancellationCheck)
{
    if (cancellationCheck && cancellationCheck()) {
        return std::nullopt;
    }
    AIAssistantResponse response;
    response.language = context.language;
    response.engine = std::string(engineName);
    return response;
}

}  // namespace korvalen::AIAssistantEngine
