#pragma once

#include "FreePort.h"
#include "LocalModel/AssistantModelManager.h"

#include <chrono>

namespace korvalen::test {

// A model manager's options for tests: a free loopback port, no engine found on the search path,
// and short probe and stop intervals so that starts and stops take milliseconds.
inline AssistantModelManager::Options quickManagerOptions(const QString& dataFolder, const Settings& settings)
{
    AssistantModelManager::Options options;
    options.dataFolder = dataFolder;
    options.settings = settings;
    options.port = freeLoopbackPort();
    options.searchPath = dataFolder + "/no-bin";
    options.probeInterval = std::chrono::milliseconds(20);
    options.terminateGrace = std::chrono::milliseconds(300);
    return options;
}

}  // namespace korvalen::test
