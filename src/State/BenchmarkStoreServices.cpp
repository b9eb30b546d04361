#include "State/BenchmarkStore.h"

#include "Execution/ModelRuntime/NeuralEngineProbe.h"
#include "Model/SystemProfiler.h"

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
    return services;
}

}  // namespace korvalen
