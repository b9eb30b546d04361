#include "Platform/Compute/GpuDevices.h"
#include "Views/ElidedLabel.h"
#include "Views/ResultCard.h"
#include "Views/ScoreDashboardView.h"
#include "support/FakeBenchmarkEngine.h"
#include "support/QtTestApp.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <limits>

using namespace korvalen;

namespace {

TEST(ResultCard, MetricPicksDecimalsByMagnitudeAndHidesNonFiniteValues)
{
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {std::nan(""), "0"},
        {inf, "0"},
        {-inf, "0"},
        {0, "0.0000"},
        {3.14159265, "3.1416"},
        {9.99995, "10.0000"},  // below 10 keeps four decimals
        {10, "10.00"},
        {-12.345, "-12.35"},
        {99.999, "100.00"},
        {100, "100"},
        {-250.5, "-250"} /* a tie rounds to even, as printf does */,
        {2.5e9, "2500000000"},
        {0.000123456, "0.0001"},
    };
    for (const auto& c : cases) EXPECT_EQ(ResultCard::metric(c.value), c.text) << c.value;
}

TEST(ResultCard, MetricKeepsAFullStopUnderADecimalCommaLocale)
{
    QTemporaryDir dir;
    QProcess localedef;
    localedef.start("localedef", {"-i", "de_DE", "-f", "UTF-8", dir.filePath("de_DE.UTF-8")});
    if (!localedef.waitForFinished(60000) || localedef.exitCode() > 1)
        GTEST_SKIP() << "cannot build a German locale here";
    setenv("LOCPATH", dir.path().toLocal8Bit().constData(), 1);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "German locale not available";
    char printed[32];
    std::snprintf(printed, sizeof printed, "%.2f", 12.5);
    const std::string c = printed;
    const std::string small = ResultCard::metric(1.5), medium = ResultCard::metric(12.5),
                      large = ResultCard::metric(1234.5);
    std::setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
    ASSERT_EQ(c, "12,50") << "the locale must really print decimal commas for this test to mean anything";
    EXPECT_EQ(small, "1.5000");
    EXPECT_EQ(medium, "12.50");
    EXPECT_EQ(large, "1234");
}

TEST(ResultCard, RowShowsMeasuredFiguresOrTheFailure)
{
    AIExecutionItem item;
    item.workload = definition(AIWorkloadID::matrixFP32);
    item.backend = AIBackend::gpu;
    item.gpuRegistryID = 7;
    AIBenchmarkResult good = korvalen::testing::FakeBenchmarkEngine::scoredResult(item, AIScoreRole::universal);
    good.gpuName = "pocl-cpu";
    good.latency.p99MS = 12.3456;
    const ResultCard::Row row = ResultCard::row(good);
    EXPECT_EQ(row.workload.toStdString(), item.workload.title);
    EXPECT_EQ(row.backend, "GPU · pocl-cpu");
    EXPECT_EQ(row.score, "1000");
    EXPECT_EQ(row.throughput.toStdString(), ResultCard::metric(good.throughput) + " " + item.workload.throughputUnit);
    EXPECT_EQ(row.p99Latency, "12.35 ms");
    EXPECT_TRUE(row.valid);

    AIBenchmarkResult failed = good;
    failed.valid = false;
    failed.error = "Compute command failed: out of resources";
    failed.latency.p99MS.reset();
    failed.certifiedForComparison = false;
    const ResultCard::Row bad = ResultCard::row(failed);
    // No figure of an invalid result passes for a measurement, and it is not "Diagnostic" (valid,
    // not certified) either.
    for (const QString& figure : {bad.score, bad.throughput, bad.medianLatency, bad.p99Latency}) EXPECT_EQ(figure, "—");
    EXPECT_EQ(bad.validity, "Invalid");
    EXPECT_EQ(bad.certification, "Not valid");
    EXPECT_EQ(bad.certificationMark, "✗");
    good.certifiedForComparison = false;
    EXPECT_EQ(ResultCard::row(good).certification, "Diagnostic");
    EXPECT_EQ(ResultCard::row(good).certificationMark, "◐");
    EXPECT_EQ(bad.notes, "Compute command failed: out of resources");
}

// An OpenCL device of the processor type runs the GPU path when there is no GPU: it is named
// for what it is wherever the window shows it, briefly, with its own name in the tool tip.
TEST(ResultCard, AProcessorDeviceIsNeverPassedOffAsAGPU)
{
    struct Devices : gpu::DeviceProvider {
        std::vector<gpu::DeviceInfo> devices() override
        {
            gpu::DeviceInfo processor, graphics;
            processor.registryID = 7, processor.name = "pthread-example", processor.kind = gpu::DeviceKind::cpu;
            graphics.registryID = 8, graphics.name = "Example GPU", graphics.kind = gpu::DeviceKind::gpu;
            return {processor, graphics};
        }
    };
    gpu::setDeviceProvider(std::make_shared<Devices>());
    AIExecutionItem item;
    item.workload = definition(AIWorkloadID::matrixFP32);
    item.backend = AIBackend::gpu;
    AIBenchmarkResult result = korvalen::testing::FakeBenchmarkEngine::scoredResult(item, AIScoreRole::universal);
    result.gpuName = "pthread-example";
    result.gpuRegistryID = 7;
    EXPECT_EQ(ResultCard::row(result).backend, "GPU · OpenCL on CPU");
    EXPECT_EQ(ResultCard::row(result).backendDetail, "GPU · OpenCL on the processor (pthread-example)");
    result.gpuName = "Example GPU";
    result.gpuRegistryID = 8;
    EXPECT_EQ(ResultCard::row(result).backend, "GPU · Example GPU");

    korvalen::test::qtApp(true);
    HardwareProfileView panel;
    AISystemProfile profile = korvalen::testing::comparableSystem();
    profile.gpuProfiles = std::vector<AIGPUProfile>{{.name = "pthread-example", .registryID = 7}};
    panel.show(profile);
    EXPECT_TRUE(panel.text().contains("GPU: No GPU · OpenCL on CPU")) << panel.text().toStdString();
    QString tip;
    for (const ElidedLabel* value : panel.findChildren<ElidedLabel*>())
        if (value->fullText().startsWith("No GPU")) tip = value->toolTip();
    EXPECT_EQ(tip, "OpenCL on the processor (pthread-example)");
    gpu::setDeviceProvider(nullptr);
}

}  // namespace
