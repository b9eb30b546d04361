// The CPU runner against the same work done without it, side by side in one run:
//   1. the FP32 matrix workload against its iteration written out by hand, with the share of an
//      iteration spent in the product and that product's rate against plain OpenBLAS;
//   2. the runner's own cost per iteration for the workload with the shortest iteration;
//   3. thread scaling's best bandwidth against an OpenMP triad (STREAM style) with as many threads;
//   4. every CPU workload at the "Complete AI" duration scale: wall time against target;
//   6. thread scaling on a quiet machine and beside one busy thread: its spread from round to round.
// All figures are printed as ratios. Then the Google Benchmark cases below run (pass
// --benchmark_filter=... to choose; --skip-report leaves out the comparisons, --report-only the
// cases, --sections=134 runs only the comparisons named).
//
// Rounds are interleaved (runner, reference, runner, ...) and medians reported, because other work
// on the machine moves single figures by several percent.

#include "Execution/CPU/CPUBenchmarkRunner.h"
#include "Execution/CPU/CPUInputPool.h"
#include "Execution/CPU/CPUKernels.h"
#include "Execution/CPU/WorkerPool.h"
#include "Execution/Shared/DeterministicInputs.h"
#include "Model/AIVocabulary.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Platform/Foundation/NumberFormat.h"
#include "Platform/Inference/BlasThreading.h"

#include "BenchStatistics.h"

#include <benchmark/benchmark.h>
#include <cblas.h>
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace korvalen;

namespace {

using korvalen::bench::median;

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

std::string fixed(double value, int decimals)
{
    return formatFixed(value, decimals);
}

void line(const std::string& text)
{
    std::printf("%s\n", text.c_str());
}

BenchmarkCancellationToken& token()
{
    static BenchmarkCancellationToken shared;
    return shared;
}

// ---- 1. The FP32 matrix workload ----------------------------------------------------------------

constexpr int matrixN = 384;
constexpr double matrixUnits = 0.000113246208;  // TFLOP per iteration
constexpr double matrixFlops = 2.0 * matrixN * matrixN * matrixN;

struct DirectMatrix {
    double throughput = 0;   // TFLOP/s over whole iterations
    double sgemmShare = 0;   // of iteration time inside the product
    double sgemmGflops = 0;  // of the call inside the iteration
};

// The iteration as the workload defines it, written out: fresh inputs, a zero-filled output, the
// product, the corner reference and the sampled checksum.
DirectMatrix directMatrix(double duration)
{
    constexpr int n = matrixN;
    double sgemmSeconds = 0;
    double checksum = 0;
    int iterations = 0;
    const auto iteration = [&](bool timed) {
        const std::vector<float> a = deterministicFloats(n * n, 61'490);
        const std::vector<float> b = deterministicFloats(n * n, 61'491);
        std::vector<float> c(static_cast<std::size_t>(n) * n);
        const auto s0 = Clock::now();
        nn::BlasThreading::product(n, n, n, a.data(), b.data(), c.data(), CPUInputPool::forParts);
        const auto s1 = Clock::now();
        float ref = 0.0f;
        for (int k = 0; k < n; ++k) ref += a[k] * b[static_cast<std::size_t>(k) * n];
        const bool passed = std::fabs(c[0] - ref) <= std::max(0.002f, std::fabs(ref) * 0.0002f);
        if (timed) {
            sgemmSeconds += seconds(s0, s1);
            checksum += sampledChecksum<float>(c, 1003) + (passed ? 0 : 1);
            ++iterations;
        }
    };
    iteration(false);
    const auto start = Clock::now();
    while (iterations < 3 || seconds(start, Clock::now()) < duration) iteration(true);
    const double wall = seconds(start, Clock::now());
    benchmark::DoNotOptimize(checksum);
    return {iterations * matrixUnits / wall, sgemmSeconds / wall, iterations * matrixFlops / sgemmSeconds / 1e9};
}

// The product alone on kept, warm buffers, as the policy makes it: what OpenBLAS does at this size.
double plainSgemmGflops(double duration)
{
    constexpr int n = matrixN;
    const std::vector<float> a = deterministicFloats(n * n, 61'490), b = deterministicFloats(n * n, 61'491);
    std::vector<float> c(a.size());
    const auto product = [&] {
        nn::BlasThreading::product(n, n, n, a.data(), b.data(), c.data(), CPUInputPool::forParts);
    };
    product();
    int calls = 0;
    const auto start = Clock::now();
    while (calls < 3 || seconds(start, Clock::now()) < duration) {
        product();
        ++calls;
    }
    benchmark::DoNotOptimize(c.data());
    return calls * matrixFlops / seconds(start, Clock::now()) / 1e9;
}

void reportMatrix(int rounds, double duration)
{
    line("== 1. matrixFP32: runner against the same iterations written out (" + std::to_string(rounds) + " rounds of " +
         fixed(duration, 1) + " s)");
    const AIWorkloadDefinition& workload = definition(AIWorkloadID::matrixFP32);
    std::vector<double> ratios, shares, callRatios, runnerRates, directRates, callRates, plainRates;
    for (int round = 0; round < rounds; ++round) {
        const KernelMeasurement measured = CPUBenchmarkRunner::runTimed(workload, duration, token());
        const DirectMatrix direct = directMatrix(duration);
        const double plain = plainSgemmGflops(duration / 2);
        runnerRates.push_back(measured.throughput);
        directRates.push_back(direct.throughput);
        ratios.push_back(measured.throughput / direct.throughput);
        shares.push_back(direct.sgemmShare);
        callRates.push_back(direct.sgemmGflops);
        plainRates.push_back(plain);
        callRatios.push_back(direct.sgemmGflops / plain);
    }
    line("  runner " + fixed(median(runnerRates) * 1000, 1) + " GFLOP/s, direct " +
         fixed(median(directRates) * 1000, 1) + " GFLOP/s (whole iterations, inputs generated each time)");
    line("  runner / direct throughput          " + fixed(median(ratios), 3) + "   (goal >= 0.95; rounds " +
         fixed(*std::min_element(ratios.begin(), ratios.end()), 3) + " .. " +
         fixed(*std::max_element(ratios.begin(), ratios.end()), 3) + ")");
    line("  share of an iteration in the product  " + fixed(median(shares), 3));
    line("  product in iteration / plain product " + fixed(median(callRatios), 3) + "   (" +
         fixed(median(callRates), 1) + " vs " + fixed(median(plainRates), 1) + " GFLOP/s, " +
         std::to_string(nn::BlasThreading::currentThreadCount()) + " OpenBLAS thread)");
}

// ---- 2. The runner's own cost ------------------------------------------------------------------

// Median time of one iteration of the kernel, seconds.
double kernelIterationSeconds(CPUKernelIteration kernel, int samples)
{
    benchmark::DoNotOptimize(kernel(nullptr).checksum);
    std::vector<double> times;
    for (int i = 0; i < samples; ++i) {
        const auto t0 = Clock::now();
        benchmark::DoNotOptimize(kernel(nullptr).checksum);
        times.push_back(seconds(t0, Clock::now()));
    }
    return median(times);
}

// Throughput of the kernel called in a plain loop for `duration`, in its own units per second.
double directKernelThroughput(CPUKernelIteration kernel, double duration)
{
    benchmark::DoNotOptimize(kernel(nullptr).checksum);
    double units = 0, checksum = 0;
    int iterations = 0;
    const auto start = Clock::now();
    while (iterations < 3 || seconds(start, Clock::now()) < duration) {
        const IterationOutcome outcome = kernel(nullptr);
        units += outcome.workUnits;
        checksum += outcome.checksum;
        ++iterations;
    }
    benchmark::DoNotOptimize(checksum);
    return units / seconds(start, Clock::now());
}

void reportOverhead(int rounds, double duration)
{
    AIWorkloadID shortest = AIWorkloadID::matrixFP32;
    double shortestSeconds = 1e9;
    for (AIWorkloadID id : allWorkloadIDs()) {
        if (const CPUKernelIteration kernel = cpuKernelIteration(id)) {
            const double t = kernelIterationSeconds(kernel, id == AIWorkloadID::kvCache ? 5 : 31);
            if (t < shortestSeconds) {
                shortestSeconds = t;
                shortest = id;
            }
        }
    }
    const CPUKernelIteration kernel = cpuKernelIteration(shortest);
    line("== 2. runner overhead for the shortest iteration: " + std::string(rawValue(shortest)) + " (" +
         fixed(shortestSeconds * 1e6, 1) + " us per iteration)");

    // The loop's own work per iteration (clock readings, latency append, memory sample, checks),
    // isolated with an operation that does nothing.
    const IterationOutcome nothing{1.0, 0.0, true, {}};
    std::vector<double> bookkeeping;
    for (int round = 0; round < rounds; ++round) {
        const KernelMeasurement m =
            CPUBenchmarkRunner::runTimed(definition(shortest), duration / 4, token(), [&] { return nothing; });
        bookkeeping.push_back(m.wallSeconds / m.iterations);
    }
    const double perIteration = median(bookkeeping);

    std::vector<double> ratios;
    for (int round = 0; round < rounds; ++round) {
        const KernelMeasurement m = CPUBenchmarkRunner::runTimed(definition(shortest), duration, token());
        ratios.push_back(m.throughput / directKernelThroughput(kernel, duration));
    }
    line("  runner bookkeeping per iteration     " + fixed(perIteration * 1e9, 0) +
         " ns = " + fixed(perIteration / (perIteration + shortestSeconds) * 100, 2) +
         " % of the iteration's wall time (goal < 2 %)");
    line("  runner / plain loop throughput       " + fixed(median(ratios), 3) + "   (rounds " +
         fixed(*std::min_element(ratios.begin(), ratios.end()), 3) + " .. " +
         fixed(*std::max_element(ratios.begin(), ratios.end()), 3) + ")");
}

// ---- 3. Thread scaling against a STREAM-style triad -----------------------------------------------

constexpr std::int64_t triadElements = CPUBenchmarkRunner::threadScalingElements;

// OpenMP's threads keep spinning for milliseconds after a parallel loop, on the processors the
// runner's workers are about to use; both sides wait this long after their timings.
void settle()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

void openmpTriadPass(const float* a, const float* b, float* c, int threads)
{
#pragma omp parallel for num_threads(threads) schedule(static)
    for (std::int64_t i = 0; i < triadElements; ++i) {
        const float v = a[i] * 0.125f + a[i] * b[i];
        c[i] = v >= 0.0f ? v : 0.0f;
    }
}

// `passes` passes of the same triad over the same bytes with `threads` OpenMP threads, after one
// untimed pass; GB/s.
double openmpTriad(const float* a, const float* b, float* c, int threads, int passes)
{
    const auto pass = [&] { openmpTriadPass(a, b, c, threads); };
    pass();
    const auto t0 = Clock::now();
    for (int p = 0; p < passes; ++p) pass();
    const double rate = passes * 24e6 / seconds(t0, Clock::now()) / 1e9;
    settle();
    return rate;
}

void reportPassesByWorkerCount(int rounds);

int bestWorkersOf(const KernelMeasurement& m)
{
    for (const std::string& detail : m.details)
        if (detail.rfind("Optimal worker count: ", 0) == 0) return std::stoi(detail.substr(22));
    return 1;
}

void reportThreadScaling(int rounds)
{
    line("== 3. threadScaling: best worker count against an OpenMP triad with as many threads (best of 3)");
    const AIWorkloadDefinition& workload = definition(AIWorkloadID::threadScaling);
    const std::vector<float> a = deterministicFloats(triadElements, 31'249),
                             b = deterministicFloats(triadElements, 31'250);
    std::vector<float> c(a.size());
    for (double scale : {1.0, 25.0}) {
        const int passes = CPUBenchmarkRunner::threadScalingPasses(scale);
        std::vector<double> runner, reference, ratios;
        std::vector<int> workers;
        for (int round = 0; round < rounds; ++round) {
            const KernelMeasurement m = CPUBenchmarkRunner::runThreadScaling(workload, scale, token());
            settle();
            const int best = bestWorkersOf(m);
            // The runner reports its best candidate; the reference gets the best of three timings.
            double ref = 0;
            for (int repeat = 0; repeat < 3; ++repeat)
                ref = std::max(ref, openmpTriad(a.data(), b.data(), c.data(), best, passes));
            runner.push_back(m.throughput);
            reference.push_back(ref);
            ratios.push_back(m.throughput / ref);
            workers.push_back(best);
        }
        std::string counts;
        for (int w : workers) {
            if (!counts.empty()) counts += ',';
            counts += std::to_string(w);
        }
        line("  scale " + fixed(scale, 1) + " (" + std::to_string(passes) + " passes): runner " +
             fixed(median(runner), 1) + " GB/s, OpenMP " + fixed(median(reference), 1) + " GB/s, best workers " +
             counts);
        line("  runner / OpenMP triad               " + fixed(median(ratios), 3) + "   (goal >= 0.9; rounds " +
             fixed(*std::min_element(ratios.begin(), ratios.end()), 3) + " .. " +
             fixed(*std::max_element(ratios.begin(), ratios.end()), 3) + ")");
    }
    reportPassesByWorkerCount(rounds);
}

// The runner's pass (its pools, slices and kernel) against the OpenMP loop at every worker count,
// in interleaved blocks of 50 passes, each after one untimed pass.
void reportPassesByWorkerCount(int rounds)
{
    const std::vector<float> a = deterministicFloats(triadElements, 31'249),
                             b = deterministicFloats(triadElements, 31'250);
    std::vector<float> c(a.size());
    line("  per worker count, runner pass / OpenMP pass (median of " + std::to_string(rounds) +
         " blocks of 50 passes):");
    for (int workers : CPUBenchmarkRunner::threadScalingCandidates()) {
        WorkerPool pool(workers, "bench");
        const auto poolPass = [&] {
            pool.run([&](int w) {
                const auto range = CPUBenchmarkRunner::workerRange(w, workers, triadElements);
                CPUBenchmarkRunner::threadScalingTriad(a.data(), b.data(), c.data(), range.begin, range.end);
            });
        };
        poolPass();
        std::vector<double> ratios, rates;
        for (int round = 0; round < rounds; ++round) {
            poolPass();  // untimed, as the OpenMP side's first pass
            const auto t0 = Clock::now();
            for (int p = 0; p < 50; ++p) poolPass();
            const double poolRate = 50 * 24e6 / seconds(t0, Clock::now()) / 1e9;
            settle();
            const double ompRate = openmpTriad(a.data(), b.data(), c.data(), workers, 50);
            ratios.push_back(poolRate / ompRate);
            rates.push_back(poolRate);
        }
        line("    " + std::to_string(workers) + " worker(s): " + fixed(median(ratios), 3) + "   (runner " +
             fixed(median(rates), 1) + " GB/s)");
    }
}

// ---- 6. Thread scaling beside one busy thread ------------------------------------------------------

// A thread that keeps one processor busy for as long as it lives, as another program would.
class BusyThread {
public:
    BusyThread()
        : thread_([this] {
              while (!stop_.load(std::memory_order_relaxed)) benchmark::DoNotOptimize(spins_++);
          })
    {}
    ~BusyThread() { stop_.store(true, std::memory_order_relaxed); }

private:
    std::atomic<bool> stop_{false};
    std::uint64_t spins_ = 0;
    std::jthread thread_;
};

void reportThreadScalingUnderLoad(int rounds)
{
    line("== 6. threadScaling at scale 1.0, " + std::to_string(rounds) + " rounds each: quiet, then one busy thread");
    const AIWorkloadDefinition& workload = definition(AIWorkloadID::threadScaling);
    for (const bool loaded : {false, true}) {
        std::optional<BusyThread> busy;
        if (loaded) busy.emplace();
        std::vector<double> rates, allWorkers;
        std::string counts;
        const std::string allPrefix =
            std::to_string(CPUBenchmarkRunner::threadScalingCandidates().back()) + " worker(s): ";
        for (int round = 0; round < rounds; ++round) {
            const KernelMeasurement m = CPUBenchmarkRunner::runThreadScaling(workload, 1.0, token());
            rates.push_back(m.throughput);
            for (const std::string& detail : m.details)
                if (detail.rfind(allPrefix, 0) == 0) allWorkers.push_back(std::stod(detail.substr(allPrefix.size())));
            if (!counts.empty()) counts += ',';
            counts += std::to_string(bestWorkersOf(m));
            settle();
        }
        const double mid = median(rates);
        line(std::string(loaded ? "  one busy thread: " : "  quiet:           ") + "median " + fixed(mid, 1) +
             " GB/s, best " + fixed(*std::max_element(rates.begin(), rates.end()), 1) + ", worst / median " +
             fixed(*std::min_element(rates.begin(), rates.end()) / mid, 3) + ", best workers " + counts);
        if (!allWorkers.empty()) {
            const double all = median(allWorkers);
            line("                   every processor (" + allPrefix + "...) median " + fixed(all, 1) +
                 " GB/s, worst / median " + fixed(*std::min_element(allWorkers.begin(), allWorkers.end()) / all, 3));
        }
    }
}

// ---- 4. The whole CPU catalog at the "Complete AI" scale ------------------------------------------

void reportCatalog()
{
    constexpr double completeScale = 1.0;
    line("== 4. CPU catalog at the Complete AI duration scale (" + fixed(completeScale, 1) + ")");
    line(
        "  workload               target s   wall s   wall/target   longest iteration s   overrun in iterations   call "
        "s");
    bool allWithin = true;
    for (AIWorkloadID id : allWorkloadIDs()) {
        if (!CPUBenchmarkRunner::supports(id)) continue;
        const AIWorkloadDefinition& workload = definition(id);
        const auto t0 = Clock::now();
        const KernelMeasurement m = CPUBenchmarkRunner::run(workload, completeScale, token());
        const double call = seconds(t0, Clock::now());
        const double longest = m.latencySamplesMS.empty()
                                   ? 0
                                   : *std::max_element(m.latencySamplesMS.begin(), m.latencySamplesMS.end()) / 1000;
        char row[200];
        if (id == AIWorkloadID::threadScaling || id == AIWorkloadID::memoryPressure) {
            std::snprintf(row, sizeof row, "  %-22s %8s %8s %13s %21s %23s %8s", std::string(rawValue(id)).c_str(), "-",
                          fixed(m.wallSeconds, 3).c_str(), "-", fixed(longest, 4).c_str(), "(fixed work)",
                          fixed(call, 3).c_str());
        } else {
            const double target = CPUBenchmarkRunner::targetDuration(workload, completeScale);
            const double overrun = std::max(m.wallSeconds - target, 0.0) / std::max(longest, 1e-9);
            allWithin = allWithin && overrun <= 1.0;
            std::snprintf(row, sizeof row, "  %-22s %8s %8s %13s %21s %23s %8s", std::string(rawValue(id)).c_str(),
                          fixed(target, 3).c_str(), fixed(m.wallSeconds, 3).c_str(),
                          fixed(m.wallSeconds / target, 3).c_str(), fixed(longest, 4).c_str(),
                          fixed(overrun, 2).c_str(), fixed(call, 3).c_str());
        }
        line(row);
    }
    line(std::string("  every timed workload within one iteration of its target: ") + (allWithin ? "yes" : "NO"));
}

// ---- 5. For information: what more threads do at this size -------------------------

void reportThreadedSgemm(double duration)
{
    const double pooled = plainSgemmGflops(duration);
    const double pooledIteration = directMatrix(duration).throughput * 1000;
    nn::BlasThreading::setLargeProductThreadLimit(1);
    const double single = plainSgemmGflops(duration);
    const double singleIteration = directMatrix(duration).throughput * 1000;
    nn::BlasThreading::setLargeProductThreadLimit(1 << 20);
    nn::BlasThreading::releasePool();
    line("== For reference: large products on " +
         std::to_string(nn::BlasThreading::productThreadCount(matrixN, matrixN, matrixN)) +
         " threads against one thread");
    line("  plain 384 sgemm                      " + fixed(pooled / single, 3) + " x   (" + fixed(pooled, 1) + " vs " +
         fixed(single, 1) + " GFLOP/s)");
    line("  whole matrixFP32 iteration           " + fixed(pooledIteration / singleIteration, 3) + " x   (" +
         fixed(pooledIteration, 1) + " vs " + fixed(singleIteration, 1) + " GFLOP/s)");
}

// ---- Google Benchmark cases ---------------------------------------------------------------------

// One dispatch of an empty task to every worker of a kept pool: the fixed cost of a pass.
void workerPoolDispatch(benchmark::State& state)
{
    WorkerPool pool(static_cast<int>(state.range(0)), "bench");
    for (auto _ : state) pool.run([](int worker) { benchmark::DoNotOptimize(worker); });
}
BENCHMARK(workerPoolDispatch)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->UseRealTime();

// One triad pass through the runner's pools and kernel, against the OpenMP loop.
void triadPassPool(benchmark::State& state)
{
    const int workers = static_cast<int>(state.range(0));
    const std::vector<float> a = deterministicFloats(triadElements, 31'249),
                             b = deterministicFloats(triadElements, 31'250);
    std::vector<float> c(a.size());
    WorkerPool pool(workers, "bench");
    for (auto _ : state) {
        pool.run([&](int w) {
            const auto range = CPUBenchmarkRunner::workerRange(w, workers, triadElements);
            CPUBenchmarkRunner::threadScalingTriad(a.data(), b.data(), c.data(), range.begin, range.end);
        });
    }
    state.SetBytesProcessed(state.iterations() * 24'000'000);
}
BENCHMARK(triadPassPool)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->UseRealTime();

void triadPassOpenMP(benchmark::State& state)
{
    const int threads = static_cast<int>(state.range(0));
    const std::vector<float> a = deterministicFloats(triadElements, 31'249),
                             b = deterministicFloats(triadElements, 31'250);
    std::vector<float> c(a.size());
    openmpTriadPass(a.data(), b.data(), c.data(), threads);
    for (auto _ : state) {
        openmpTriadPass(a.data(), b.data(), c.data(), threads);
        benchmark::DoNotOptimize(c.data());
    }
    state.SetBytesProcessed(state.iterations() * 24'000'000);
}
BENCHMARK(triadPassOpenMP)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->UseRealTime();

// The memory ladder as a whole.
void memoryPressureLadder(benchmark::State& state)
{
    for (auto _ : state) {
        const KernelMeasurement m =
            CPUBenchmarkRunner::runMemoryPressure(definition(AIWorkloadID::memoryPressure), token());
        state.counters["GB/s"] = m.throughput;
    }
}
BENCHMARK(memoryPressureLadder)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv)
{
    bool report = true, cases = true;
    std::string sections = "123456";
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--skip-report") == 0)
            report = false;
        else if (std::strcmp(argv[i], "--report-only") == 0)
            cases = false;
        else if (std::strncmp(argv[i], "--sections=", 11) == 0)
            sections = argv[i] + 11;
        else
            rest.push_back(argv[i]);
    }
    const auto wanted = [&](char section) { return sections.find(section) != std::string::npos; };
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());

    nn::BlasThreading::applyPolicy();
    if (report) {
        if (wanted('1')) reportMatrix(7, 1.0);
        if (wanted('2')) reportOverhead(7, 0.5);
        if (wanted('3')) reportThreadScaling(15);
        if (wanted('4')) reportCatalog();
        if (wanted('5')) reportThreadedSgemm(0.5);
        if (wanted('6')) reportThreadScalingUnderLoad(15);
        std::fflush(stdout);
    }
    if (cases) benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
