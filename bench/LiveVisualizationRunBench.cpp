// A whole "Quick AI" run on the CPU through the store, with live visualizations on and off, in
// alternating order. The windows are real (offscreen platform), painted by the event loop as in the
// application. Reported per pair:
//   timed_ratio   sum of the results' timed phases, on ÷ off (goal: at most 1.02)
//   session_ratio the run's wall time, on ÷ off (expected: 1 + 1.35 s per windowed item ÷ run time)
//   score_ratio   the overall score, on ÷ off: timed phases last their target either way, so this
//                 is where a window competing with the measurement would show
// Every case runs once; use --benchmark_repetitions for more pairs.

#include "State/BenchmarkStore.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>

using namespace korvalen;

namespace {

struct RunFigures {
    double wall = 0;
    double timed = 0;
    int results = 0;
    double score = 0;
};

RunFigures runQuickOnCpu(bool visuals)
{
    QTemporaryDir dir;
    BenchmarkStoreServices services = BenchmarkStoreServices::standard();
    static const AISystemProfile profile = services.currentProfile();
    services.currentProfile = [] { return profile; };
    services.persistence = std::make_shared<SessionPersistence>(dir.path() + "/data");
    services.settings = Settings(dir.path() + "/settings.conf");
    BenchmarkStore store(std::move(services));
    store.setSelectedMode(AIRunMode::quick);
    store.setSelectedBackend(AIBackend::cpu);
    store.setShowLiveVisualizations(visuals);

    QElapsedTimer clock;
    clock.start();
    store.start();
    // A benchmark harness may spin the loop; the application never does.
    while (store.isBusy() || store.hasActiveRunTask()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    RunFigures figures;
    figures.wall = double(clock.nsecsElapsed()) / 1e9;
    if (store.currentSession()) figures.score = store.currentSession()->scores.overall;
    if (store.currentSession())
        for (const auto& r : store.currentSession()->results) {
            figures.timed += r.durationSeconds;
            ++figures.results;
            std::fprintf(stderr, "  visuals %-3s %-22s score %10.1f timed %.3f s\n", visuals ? "on" : "off",
                         std::string(rawValue(r.workloadID)).c_str(), r.score, r.durationSeconds);
        }
    return figures;
}

void quickRunPair(benchmark::State& state)
{
    for (auto _ : state) {
        // Off, on, on, off: the order's drift (warm caches, other load) falls on both sides.
        RunFigures off1 = runQuickOnCpu(false), on1 = runQuickOnCpu(true), on2 = runQuickOnCpu(true),
                   off2 = runQuickOnCpu(false);
        const double offTimed = off1.timed + off2.timed, onTimed = on1.timed + on2.timed;
        const double offWall = off1.wall + off2.wall, onWall = on1.wall + on2.wall;
        state.SetIterationTime(onWall + offWall);
        state.counters["timed_ratio"] = offTimed > 0 ? onTimed / offTimed : 0;
        state.counters["session_ratio"] = offWall > 0 ? onWall / offWall : 0;
        state.counters["score_ratio"] =
            off1.score + off2.score > 0 ? (on1.score + on2.score) / (off1.score + off2.score) : 0;
        state.counters["off_wall_s"] = offWall / 2;
        state.counters["on_wall_s"] = onWall / 2;
        state.counters["off_timed_s"] = offTimed / 2;
        state.counters["on_timed_s"] = onTimed / 2;
        state.counters["results"] = on1.results;
        std::fprintf(stderr, "off %.3f/%.3f s, on %.3f/%.3f s (wall/timed, mean of two)\n", offWall / 2, offTimed / 2,
                     onWall / 2, onTimed / 2);
    }
}
BENCHMARK(quickRunPair)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
