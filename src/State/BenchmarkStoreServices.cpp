#include "State/BenchmarkStore.h"

#include "Execution/ModelRuntime/NeuralEngineProbe.h"
#include "Model/SystemProfiler.h"
#include "Platform/System/Resources.h"

#include <filesystem>

namespace korvalen {

BenchmarkStoreServices BenchmarkStoreServices::standard()
{
    BenchmarkStoreServices services;
    services.engine = BenchmarkEngineAccess::standard();
    services.currentProfile = [] {
        // The launch profile runs the Neural Engine probe through the model runtime.
        installNeuralEngineProbe();
        return SystemProfiler::current();
    };
    services.runtimeSnapshot = [](const AISystemProfile& base) { return SystemProfiler::runtimeSnapshot(base); };
    services.persistence = std::make_shared<SessionPersistence>();
    services.notifications = &NotificationCenter::defaultCenter();
    services.applicationIsTerminating = [] { return false; };
    services.clock = [] { return now(); };
    services.missingResourceFolder = []() -> std::optional<std::string> {
        const std::filesystem::path folder = sys::resourceDirectory();
        std::error_code error;
        if (std::filesystem::is_directory(folder, error)) return std::nullopt;
        return folder.string();
    };
    return services;
}

}  // namespace korvalen
