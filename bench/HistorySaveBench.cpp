// How long the window's event loop stalls while a finished run is saved into a full history of
// large sessions ("Extended AI" sessions of about 7 MB of JSON each, 20 of them).
//
// `LoadTwentyLargeSessions` decodes that history as a launch does: its time is loadReport() alone,
// `rss_MB` the resident size after it, with the sessions still held. `DecodeWholeTextOnOneThread`
// is the reference: the same file parsed whole on one thread, as loading did before.
//
// `--write-history=FOLDER` only writes such a history (and its backup) into FOLDER, for trying a
// launch by hand.
//
// `max_stall_ms` is the longest gap between two ticks of a 1 ms timer on the main thread, from the
// run's start to its end, the save included; `sync_save_ms` is what the same save costs when
// called on the main thread, i.e. the stall it would cause there; `stall_ratio` is the first over
// the second. `file_MB` is the size of the history written.

#include "Model/AIRecordsJSON.h"
#include "Model/AIWorkloadCatalog.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/System/ResidentMemory.h"
#include "State/BenchmarkStore.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <vector>

using namespace korvalen;

namespace {

constexpr int resultsPerSession = 30;
constexpr int samplesPerResult = 15'000;

AIBenchmarkResult largeResult(int index)
{
    AIBenchmarkResult r;
    r.id = Uuid::random();
    r.workloadID = AIWorkloadID::matrixFP32;
    r.backend = AIBackend::cpu;
    r.startedAt = now();
    r.durationSeconds = 30;
    r.iterations = samplesPerResult;
    r.throughput = 1234.5678;
    r.throughputUnit = "GFLOPS";
    r.valid = true;
    r.thermalStart = r.thermalEnd = "Nominal";
    std::vector<double> samples(samplesPerResult);
    for (int i = 0; i < samplesPerResult; ++i)
        samples[static_cast<std::size_t>(i)] = 1.0 + 0.000123456789 * ((i * 7919 + index * 104729) % 100'003);
    r.latencySamplesMS = std::move(samples);
    return r;
}

AIBenchmarkSession largeSession(int index)
{
    AIBenchmarkSession s;
    s.id = Uuid::random();
    s.startedAt = now();
    s.completedAt = s.startedAt;
    s.mode = AIRunMode::extended;
    for (int i = 0; i < resultsPerSession; ++i) s.results.push_back(largeResult(index * resultsPerSession + i));
    s.methodologyVersion = BenchmarkStore::methodologyVersion;
    return s;
}

void writeLargeHistory(const QString& folder)
{
    std::vector<AIBenchmarkSession> full;
    for (int i = 0; i < SessionPersistence::historyLimit; ++i) full.push_back(largeSession(i));
    SessionPersistence persistence(folder);
    persistence.save(full);
    persistence.save(full);  // the second save makes the first file the backup
}

// Loaded first, before the save case has grown the process.
void LoadTwentyLargeSessions(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString folder = dir.path() + "/Korvalen AI";
    writeLargeHistory(folder);
    std::size_t sessions = 0;
    for (auto _ : state) {
        SessionPersistence persistence(folder);
        QElapsedTimer clock;
        clock.start();
        SessionPersistence::LoadReport report = persistence.loadReport();
        state.SetIterationTime(static_cast<double>(clock.nsecsElapsed()) / 1e9);
        state.counters["rss_MB"] = static_cast<double>(sys::residentBytes()) / (1 << 20);
        sessions = report.sessions.size();
    }
    state.counters["sessions"] = static_cast<double>(sessions);
    state.counters["file_MB"] = static_cast<double>(QFileInfo(folder + "/history.json").size()) / 1e6;
}

BENCHMARK(LoadTwentyLargeSessions)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// What loading cost before sessions were parsed apart: one parse of the whole text on one thread,
// then each session decoded.
void DecodeWholeTextOnOneThread(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString folder = dir.path() + "/Korvalen AI";
    writeLargeHistory(folder);
    std::size_t sessions = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        QFile file(folder + "/history.json");
        if (!file.open(QIODevice::ReadOnly)) state.SkipWithError("history not written");
        const QByteArray bytes = file.readAll();
        const nlohmann::json array = nlohmann::json::parse(bytes.constBegin(), bytes.constEnd(), nullptr, false);
        std::vector<AIBenchmarkSession> decoded;
        for (std::size_t i = 0; i < array.size(); ++i) decoded.push_back(sessionFromJSON(array[i]));
        state.SetIterationTime(static_cast<double>(clock.nsecsElapsed()) / 1e9);
        sessions = decoded.size();
    }
    state.counters["sessions"] = static_cast<double>(sessions);
}

BENCHMARK(DecodeWholeTextOnOneThread)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

void SaveStallWithTwentyLargeSessions(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString folder = dir.path() + "/Korvalen AI";
    writeLargeHistory(folder);

    NotificationCenter notifications;
    BenchmarkStoreServices services;
    services.currentProfile = [] { return AISystemProfile{}; };
    services.persistence = std::make_shared<SessionPersistence>(folder);
    services.settings = Settings(dir.path() + "/settings.conf");
    services.notifications = &notifications;
    services.engine.executionPlan = [](const AIBenchmarkEngine&, AIRunMode, AIBackend backend, bool, bool) {
        AIExecutionItem item;
        item.workload = definition(AIWorkloadID::matrixFP32);
        item.backend = backend;
        item.role = AIScoreRole::requested;
        return std::vector<AIExecutionItem>{item};
    };
    services.engine.runItem = [](const AIBenchmarkEngine&, const AIExecutionItem&, AIRunMode) {
        return largeSession(99).results;
    };
    BenchmarkStore store(std::move(services));
    store.setSelectedBackend(AIBackend::cpu);

    for (auto _ : state) {
        QElapsedTimer clock;
        qint64 last = 0, maxGap = 0;
        QTimer ticker;
        ticker.setInterval(1);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const qint64 t = clock.nsecsElapsed();
            maxGap = std::max(maxGap, t - last);
            last = t;
        });
        clock.start();
        ticker.start();
        store.start();
        while (store.isBusy() || store.hasActiveRunTask())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        const qint64 end = clock.nsecsElapsed();
        maxGap = std::max(maxGap, end - last);
        ticker.stop();
        state.counters["max_stall_ms"] = static_cast<double>(maxGap) / 1e6;
        state.counters["run_s"] = static_cast<double>(end) / 1e9;
    }

    QElapsedTimer sync;
    sync.start();
    SessionPersistence(folder).save(store.history());
    const double syncMS = static_cast<double>(sync.nsecsElapsed()) / 1e6;
    state.counters["sync_save_ms"] = syncMS;
    state.counters["stall_ratio"] = state.counters["max_stall_ms"] / syncMS;
    state.counters["file_MB"] = static_cast<double>(QFileInfo(folder + "/history.json").size()) / 1e6;
    state.counters["sessions"] = static_cast<double>(store.history().size());
}

BENCHMARK(SaveStallWithTwentyLargeSessions)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        if (argument.startsWith("--write-history=")) {
            writeLargeHistory(argument.mid(int(std::strlen("--write-history="))));
            return 0;
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
