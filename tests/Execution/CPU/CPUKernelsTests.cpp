#include "Execution/CPU/CPUInt8Product.h"
#include "Execution/CPU/CPUKernels.h"
#include "Execution/Shared/DeterministicInputs.h"
#include "Execution/Shared/InstructionSet.h"
#include "Platform/Inference/BlasThreading.h"
#include "Platform/System/ProcessorInfo.h"

#include <cblas.h>
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <limits>
#include <ostream>
#include <span>
#include <string>
#include <vector>

using namespace korvalen;

namespace {

constexpr float floatNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float floatInf = std::numeric_limits<float>::infinity();

struct KernelCase {
    const char* name;
    AIWorkloadID workload;
    CPUKernelIteration run;
    double workUnits;
    const char* firstDetail;
    const char* secondDetail;
    // Exact kernels use only +, -, x, / and integers: their checksum is the same on every machine.
    // The others go through libm or BLAS, so they are checked against figures computed independently
    // in double precision, within a relative 1e-4.
    bool exact;
    double checksum;
    // Damage the validation must notice.
    std::function<void(KernelOutputTamper&)> corrupt;
};

void PrintTo(const KernelCase& kernel, std::ostream* out)
{
    *out << kernel.name;
}

KernelOutputTamper floatsAt(std::size_t index, float value)
{
    KernelOutputTamper tamper;
    tamper.floats = [=](std::span<float> out) { out[index] = value; };
    return tamper;
}

std::function<void(KernelOutputTamper&)> setFloat(std::size_t index, float value)
{
    return [=](KernelOutputTamper& tamper) { tamper = floatsAt(index, value); };
}

std::function<void(KernelOutputTamper&)> nudgeFloat(std::size_t index, float delta)
{
    return [=](KernelOutputTamper& tamper) { tamper.floats = [=](std::span<float> out) { out[index] += delta; }; };
}

const KernelCase kernelCases[] = {
    {"superResolution", AIWorkloadID::superResolution, &CPUKernels::superResolutionIteration, 0.331776,
     "Input: 384×216; output: 768×432", "Validation: bilinear sample reference", true, -3.8269712775945663,
     nudgeFloat(177 * 768 + 123, 0.001f)},
    {"melSpectrogram", AIWorkloadID::melSpectrogram, &CPUKernels::melSpectrogramIteration, 2.0,
     "Audio: 2 s at 16000 Hz", "198 frames, 64 deterministic spectral bands", false, 128.11386258858113,
     setFloat(5000, floatInf)},
    {"noiseSuppression", AIWorkloadID::noiseSuppression, &CPUKernels::noiseSuppressionIteration, 4.0,
     "48 kHz mono, 4-second stream", "Envelope gate + one-pole residual filter", true, -11.105951771140099,
     setFloat(191'999, 1.2f)},
    {"diffusion", AIWorkloadID::diffusionDenoise, &CPUKernels::diffusionIteration, 1.0, "Latent: 160×160×4",
     "3×3 denoise + normalization + SiLU", false, 1.4066664000863467, setFloat(2 * 160 + 2, 10.0f)},
    {"convolution", AIWorkloadID::convolution, &CPUKernels::convolutionIteration, 0.00247962, "Feature map: 512×288",
     "Padded 3×3 convolution; 17 FLOPs/output", true, -3.1744882464408875, nudgeFloat(91 * 512 + 77, 0.001f)},
    {"textTokenization", AIWorkloadID::textTokenization, &CPUKernels::textTokenizationIteration, 1.32,
     "UTF-8 input: 1320000 bytes", "Deterministic normalization, pair merges, and FNV token hashing", true,
     36544248000.0,
     [](KernelOutputTamper& tamper) {
         tamper.tokens = [](std::vector<std::uint32_t>& tokens) { tokens.resize(50'000); };
     }},
    {"ropeRMSNorm", AIWorkloadID::ropeRMSNorm, &CPUKernels::ropeRMSNormIteration, 0.006291456,
     "Decoder tensor: 1024×512", "RMSNorm followed by rotary positional encoding", false, -21.796923645793683,
     setFloat(400'000, floatNaN)},
    {"attention", AIWorkloadID::transformerAttention, &CPUKernels::attentionIteration, 1.0,
     "Context: 96 tokens; head dimension: 64", "QKᵀ + stable softmax + value projection", false, -0.16316663134397832,
     setFloat(6000, -floatInf)},
    {"softmaxLayerNorm", AIWorkloadID::softmaxLayerNorm, &CPUKernels::softmaxLayerNormIteration, 0.004194304,
     "Tensor: 512×512", "LayerNorm followed by numerically stable softmax", false, 0.48394634293622324,
     setFloat(300 * 512 + 7, floatNaN)},
    {"tensorOperations", AIWorkloadID::tensorOperations, &CPUKernels::tensorOperationsIteration, 0.024,
     "Elements: 2000000", "Fused multiply-add approximation + GELU", false, 303.44140239189915,
     nudgeFloat(17'777, 0.001f)},
    {"tensorAllocation", AIWorkloadID::tensorAllocation, &CPUKernels::tensorAllocationIteration, 0.067108864,
     "64 MiB tensor allocation", "Allocation, page touch, validation, and release", true, 1151.484375,
     setFloat(8'388'608, 0.5f)},
    {"kvCache", AIWorkloadID::kvCache, &CPUKernels::kvCacheIteration, 0.033554432,
     "Context: 4096, heads: 16, head dimension: 64", "FP16 key/value cache write and traversal", true, -129.0,
     [](KernelOutputTamper& tamper) {
         tamper.halves = [](std::span<std::uint16_t> cache) { cache[1'234'567] = 0x7C00; };
     }},
    {"matrixFP32", AIWorkloadID::matrixFP32, &CPUKernels::matrixFP32Iteration, 0.000113246208, "Matrix: 384×384",
     "Accelerate SGEMM; 2N³ operation count", false, -79.41063710940271, nudgeFloat(0, 0.01f)},
    {"matrixFP16", AIWorkloadID::matrixFP16, &CPUKernels::matrixFP16Iteration, 0.000065536, "Matrix: 320×320",
     "IEEE-754 binary16 storage with CPU conversion and SGEMM compute", false, -16.043123010569616,
     nudgeFloat(0, 0.01f)},
    {"matrixINT8", AIWorkloadID::matrixINT8, &CPUKernels::matrixINT8Iteration, 0.000004194304, "Matrix: 128×128",
     "Signed INT8 inputs; exact INT32 accumulation", true, 14409.0,
     [](KernelOutputTamper& tamper) { tamper.integers = [](std::span<std::int32_t> c) { c[0] += 1; }; }},
    {"fineTuning", AIWorkloadID::fineTuningStep, &CPUKernels::fineTuningIteration, 1.0, "Batch 32, dense 128→32",
     "(checked on its own below)", false, 0.35226042778848765,
     [](KernelOutputTamper& tamper) {
         tamper.floats = [](std::span<float> w) {
             for (float& value : w) value *= 3.0f;  // a step far past the minimum raises the loss
         };
     }},
};

class CPUKernel : public ::testing::TestWithParam<KernelCase> {};

}  // namespace

TEST_P(CPUKernel, PassesAndReproducesItsChecksum)
{
    const KernelCase& kernel = GetParam();
    const IterationOutcome first = kernel.run(nullptr);
    EXPECT_TRUE(first.passed);
    EXPECT_EQ(first.workUnits, kernel.workUnits);
    ASSERT_EQ(first.details.size(), 2u);
    EXPECT_EQ(first.details[0], kernel.firstDetail);
    if (kernel.workload != AIWorkloadID::fineTuningStep) {
        EXPECT_EQ(first.details[1], kernel.secondDetail);
    }
    if (kernel.exact) {
        EXPECT_EQ(first.checksum, kernel.checksum);
    } else {
        EXPECT_NEAR(first.checksum, kernel.checksum, 1e-4 * std::max(1.0, std::fabs(kernel.checksum)));
    }

    // Run to run on one machine, every kernel repeats bit for bit.
    const IterationOutcome second = kernel.run(nullptr);
    EXPECT_EQ(second.checksum, first.checksum);
    EXPECT_EQ(second.details, first.details);
    EXPECT_EQ(cpuKernelIteration(kernel.workload), kernel.run);
}

TEST_P(CPUKernel, ValidationNoticesCorruptedOutput)
{
    const KernelCase& kernel = GetParam();
    KernelOutputTamper tamper;
    kernel.corrupt(tamper);
    const IterationOutcome damaged = kernel.run(&tamper);
    EXPECT_FALSE(damaged.passed);
    EXPECT_EQ(damaged.workUnits, kernel.workUnits);  // a failed check still counts its work
}

INSTANTIATE_TEST_SUITE_P(All, CPUKernel, ::testing::ValuesIn(kernelCases),
                         [](const ::testing::TestParamInfo<KernelCase>& info) { return std::string(info.param.name); });

// Every kernel is built for several instruction sets: each one the processor has, forced in turn,
// gives the baseline's bits. The VNNI sets differ from the set below them only in the 8-bit product.
TEST(CPUKernels, EveryInstructionSetGivesTheBaselineBits)
{
    // As the runner does: the small products stay on the calling thread from the first one.
    nn::BlasThreading::applyPolicy();
    std::vector<std::uint64_t> baseline;
    {
        const ScopedInstructionSet forced(InstructionSet::baseline);
        for (const KernelCase& kernel : kernelCases)
            baseline.push_back(std::bit_cast<std::uint64_t>(kernel.run(nullptr).checksum));
    }
    for (InstructionSet set : allInstructionSets) {
        if (set == InstructionSet::baseline || !processorSupports(set)) continue;
        const bool vnni = set == InstructionSet::avxVnni || set == InstructionSet::avx512Vnni;
        const ScopedInstructionSet forced(set);
        for (std::size_t k = 0; k < std::size(kernelCases); ++k) {
            if (vnni && kernelCases[k].workload != AIWorkloadID::matrixINT8) continue;
            const IterationOutcome outcome = kernelCases[k].run(nullptr);
            EXPECT_TRUE(outcome.passed) << rawValue(set) << " " << kernelCases[k].name;
            EXPECT_EQ(std::bit_cast<std::uint64_t>(outcome.checksum), baseline[k])
                << rawValue(set) << " " << kernelCases[k].name;
        }
    }
}

// The dot-product paths against the plain triple loop, element by element, over the whole int8
// range: the unsigned offset they apply to B must cancel for extreme values too.
TEST(CPUInt8Product, VnniPathsMatchThePlainProductEverywhere)
{
    constexpr int n = 128;
    std::vector<std::int8_t> a(n * n), b(n * n);
    for (int i = 0; i < n * n; ++i) {
        a[i] = static_cast<std::int8_t>(i % 3 == 0 ? -128 : (i * 37) % 256 - 128);
        b[i] = static_cast<std::int8_t>(i % 5 == 0 ? 127 : (i * 91 + 7) % 256 - 128);
    }
    std::vector<std::int32_t> expected(n * n, 0);
    for (int i = 0; i < n; ++i)
        for (int k = 0; k < n; ++k)
            for (int j = 0; j < n; ++j) expected[i * n + j] += a[i * n + k] * b[k * n + j];
    const struct {
        InstructionSet set;
        void (*multiply)(const std::int8_t*, const std::int8_t*, std::int32_t*, int);
    } paths[] = {{InstructionSet::avxVnni, &CPUInt8Product::multiplyAvxVnni},
                 {InstructionSet::avx512Vnni, &CPUInt8Product::multiplyAvx512Vnni}};
    for (const auto& path : paths) {
        if (!processorSupports(path.set)) continue;
        std::vector<std::int32_t> c(n * n, 7);
        path.multiply(a.data(), b.data(), c.data(), n);
        EXPECT_EQ(c, expected) << rawValue(path.set);
    }
}

TEST(CPUKernels, OnlyTimedWorkloadsHaveAKernel)
{
    int withKernel = 0;
    for (int raw = 0; raw < workloadCount; ++raw)
        withKernel += cpuKernelIteration(static_cast<AIWorkloadID>(raw)) != nullptr;
    EXPECT_EQ(withKernel, 16);
    EXPECT_EQ(cpuKernelIteration(AIWorkloadID::threadScaling), nullptr);
    EXPECT_EQ(cpuKernelIteration(AIWorkloadID::memoryPressure), nullptr);
    EXPECT_EQ(cpuKernelIteration(AIWorkloadID::imageClassification), nullptr);
}

// Both losses against the step recomputed in double precision. Single precision moves them by under
// 4e-7 of themselves, whatever order the BLAS kernel sums in; leaving out the last element of the
// loss sum, of the output gradient or of the weight update moves the second loss by over 3e-6.
TEST(CPUKernels, FineTuningLossesMatchADoublePrecisionStep)
{
    constexpr int batch = 32, inputs = 128, outputs = 32;
    const std::vector<float> x = deterministicFloats(batch * inputs, 61'822);
    const std::vector<float> t = deterministicFloats(batch * outputs, 61'823);
    std::vector<double> w;
    for (float value : deterministicFloats(inputs * outputs, 61'824)) w.push_back(value * 0.02f);

    std::vector<double> outputGradient(batch * outputs);
    const auto meanSquaredError = [&] {
        double sum = 0;
        for (int b = 0; b < batch; ++b) {
            for (int o = 0; o < outputs; ++o) {
                double y = 0;
                for (int i = 0; i < inputs; ++i) y += double(x[b * inputs + i]) * w[i * outputs + o];
                const double d = y - t[b * outputs + o];
                sum += d * d;
                outputGradient[b * outputs + o] = 2 * d / batch;
            }
        }
        return sum / (batch * outputs);
    };
    const double before = meanSquaredError();
    for (int i = 0; i < inputs; ++i) {
        for (int o = 0; o < outputs; ++o) {
            double g = 0;
            for (int b = 0; b < batch; ++b) g += double(x[b * inputs + i]) * outputGradient[b * outputs + o];
            w[i * outputs + o] -= 0.002 * g;
        }
    }
    const double after = meanSquaredError();

    const IterationOutcome step = CPUKernels::fineTuningIteration();
    const std::string& line = step.details[1];
    const std::string prefix = "MSE loss ", arrow = " → ";
    const std::size_t split = line.find(arrow);
    ASSERT_TRUE(line.starts_with(prefix) && split != std::string::npos) << line;
    const auto number = [&](std::size_t begin, std::size_t end) {
        float value = floatNaN;
        const auto parsed = std::from_chars(line.data() + begin, line.data() + end, value);
        EXPECT_EQ(parsed.ptr, line.data() + end) << line;
        return value;
    };
    const float reportedBefore = number(prefix.size(), split);
    const float reportedAfter = number(split + arrow.size(), line.size());
    EXPECT_NEAR(reportedBefore, before, 1e-6 * before);
    EXPECT_NEAR(reportedAfter, after, 1e-6 * after);
    EXPECT_EQ(step.checksum, double(reportedAfter));
}

TEST(CPUKernels, SoftmaxValidationNoticesRowsThatDoNotSumToOne)
{
    // A huge LayerNorm value leaves its row's softmax summing to 1 still; an infinite one does not.
    KernelOutputTamper large = floatsAt(77, 80.0f);
    EXPECT_TRUE(CPUKernels::softmaxLayerNormIteration(&large).passed);
    KernelOutputTamper infinite = floatsAt(77, floatInf);
    EXPECT_FALSE(CPUKernels::softmaxLayerNormIteration(&infinite).passed);
}

TEST(CPUKernels, MelAndDiffusionValidationsCheckMagnitudes)
{
    KernelOutputTamper silent;
    silent.floats = [](std::span<float> out) {
        for (float& value : out) value = 0.0f;
    };
    EXPECT_FALSE(CPUKernels::melSpectrogramIteration(&silent).passed);  // the largest band must exceed 0
    KernelOutputTamper bordered = floatsAt(2 * 160 + 2, 9.5f);
    EXPECT_TRUE(CPUKernels::diffusionIteration(&bordered).passed);
    KernelOutputTamper negative = floatsAt(2 * 160 + 2, -10.0f);
    EXPECT_FALSE(CPUKernels::diffusionIteration(&negative).passed);
}

// 'r' followed by a blank is a pair whose value is a multiple of 11 (114 x 256 + 32 = 29,216).
TEST(Tokenizer, MergedPairsAndTokenBoundaries)
{
    using CPUKernels::tokenize;
    EXPECT_EQ(tokenize("xa y").size(), 2u);
    EXPECT_EQ(tokenize("xr y").size(), 1u);  // the merged blank is no boundary
    EXPECT_EQ(tokenize("ab").size(), 1u);    // the final byte closes a token, whatever it is
    EXPECT_EQ(tokenize("xr ").size(), 1u);   // also when a merge consumes it
    EXPECT_EQ(tokenize("r ").size(), 1u);
    EXPECT_TRUE(tokenize("").empty());
    EXPECT_EQ(tokenize("a\nb").size(), 2u);
    // The token hash includes its closing blank.
    EXPECT_NE(tokenize("ab ")[0], tokenize("ab")[0]);
    EXPECT_EQ(tokenize("ab cd")[0], tokenize("ab ")[0]);
    // FNV-1a of the single byte 'a'.
    EXPECT_EQ(tokenize("a")[0], 0xE40C292Cu);
}

TEST(Tokenizer, SentenceTokenCount)
{
    std::string text;
    for (int r = 0; r < 12'000; ++r) text += CPUKernels::tokenizerSentence;
    EXPECT_EQ(CPUKernels::tokenize(text).size(), 156'000u);  // 13 words a sentence
}

TEST(ShortestFloatText, PlainAndExponentForms)
{
    using CPUKernels::shortestFloatText;
    EXPECT_EQ(shortestFloatText(0.35593852f), "0.35593852");
    EXPECT_EQ(shortestFloatText(2.0f), "2.0");
    EXPECT_EQ(shortestFloatText(-0.5f), "-0.5");
    EXPECT_EQ(shortestFloatText(100.0f), "100.0");
    EXPECT_EQ(shortestFloatText(123.456f), "123.456");
    EXPECT_EQ(shortestFloatText(0.0001f), "0.0001");
    EXPECT_EQ(shortestFloatText(0.00001f), "1e-05");
    EXPECT_EQ(shortestFloatText(1.5e-5f), "1.5e-05");
    EXPECT_EQ(shortestFloatText(16777216.0f), "16777216.0");
    EXPECT_EQ(shortestFloatText(16777218.0f), "1.6777218e+07");
    EXPECT_EQ(shortestFloatText(1e30f), "1e+30");
    EXPECT_EQ(shortestFloatText(0.0f), "0.0");
    EXPECT_EQ(shortestFloatText(-0.0f), "-0.0");
    EXPECT_EQ(shortestFloatText(floatInf), "inf");
    EXPECT_EQ(shortestFloatText(floatNaN), "nan");
}

namespace korvalen {
namespace {

// OpenBLAS kernels to try: the one it picks for this processor and Zen's, whose edge tiles make its
// pool give other bits than one thread (forced where the processor can run it).
std::vector<std::string> blasCores()
{
    std::vector<std::string> cores = {""};
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) cores.push_back("Zen");
    return cores;
}

// Runs `check` in a fresh process of this program whose OpenBLAS uses the kernel of `core` ("": its
// own choice): a forced kernel, and a process where nothing has touched OpenBLAS yet, cannot be had
// in this one. The check exits with 0 when it holds, else with 1 after saying why on stderr.
void inFreshProcess(const std::string& core, void (*check)())
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* inherited = std::getenv("OPENBLAS_CORETYPE");
    const std::string kept = inherited ? inherited : "";
    if (!core.empty()) setenv("OPENBLAS_CORETYPE", core.c_str(), 1);
    EXPECT_EXIT(check(), ::testing::ExitedWithCode(0), "") << "OpenBLAS core " << (core.empty() ? "default" : core);
    if (inherited) {
        setenv("OPENBLAS_CORETYPE", kept.c_str(), 1);
    } else {
        unsetenv("OPENBLAS_CORETYPE");
    }
}

std::uint64_t checksumBits(CPUKernelIteration kernel)
{
    return std::bit_cast<std::uint64_t>(kernel(nullptr).checksum);
}

// The first thing the process does is a kernel's products, as in a tool or a bench that never
// applied the threading policy: they give one thread's bits all the same.
void bareProductsGiveOneThreadsBits()
{
    const CPUKernelIteration kernels[] = {&CPUKernels::attentionIteration, &CPUKernels::fineTuningIteration};
    std::vector<std::uint64_t> bare;
    for (CPUKernelIteration kernel : kernels) bare.push_back(checksumBits(kernel));
    openblas_set_num_threads(1);
    bool held = true;
    for (std::size_t k = 0; k < std::size(kernels); ++k) {
        if (checksumBits(kernels[k]) == bare[k]) continue;
        std::cerr << "kernel " << k << " gave other bits before the policy\n";
        held = false;
    }
    std::_Exit(held ? 0 : 1);
}

TEST(CPUKernelBlasThreads, ProductsGiveTheSameBitsWhateverRanFirst)
{
    for (const std::string& core : blasCores()) inFreshProcess(core, bareProductsGiveOneThreadsBits);
}

// Small products stay on the calling thread; large ones use several threads (every core by
// default) and give one thread's bits; OpenBLAS is back to one thread after every call.
void largeProductsShareOutWithOneThreadsBits()
{
    namespace blas = nn::BlasThreading;
    bool held = true;
    const auto expect = [&](bool condition, const std::string& what) {
        if (condition) return;
        std::cerr << what << "\n";
        held = false;
    };
    expect(blas::productThreadCount(96, 96, 64) == 1, "96 x 96 x 64 on several threads");
    expect(blas::productThreadCount(32, 32, 128) == 1, "32 x 32 x 128 on several threads");
    const struct {
        CPUKernelIteration kernel;
        int n;
    } products[] = {{&CPUKernels::matrixFP32Iteration, 384}, {&CPUKernels::matrixFP16Iteration, 320}};
    for (const auto& product : products) {
        const std::string shape = std::to_string(product.n) + "^3";
        blas::setLargeProductThreadLimit(1);
        expect(blas::productThreadCount(product.n, product.n, product.n) == 1, shape + ": limit 1 not kept");
        const std::uint64_t one = checksumBits(product.kernel);
        for (const int limit : {2, 1 << 20}) {
            blas::setLargeProductThreadLimit(limit);
            const int threads = blas::productThreadCount(product.n, product.n, product.n);
            const std::string what = shape + " on " + std::to_string(threads) + " threads: ";
            expect(threads <= limit, what + "above the limit");
            if (sys::usableProcessorCount() > 1) expect(threads > 1, what + "one core");
            const IterationOutcome many = product.kernel(nullptr);
            expect(std::bit_cast<std::uint64_t>(many.checksum) == one, what + "other bits than one thread");
            expect(many.passed, what + "failed its check");
            expect(blas::currentThreadCount() == blas::threadCount, what + "OpenBLAS left on several threads");
        }
    }
    std::_Exit(held ? 0 : 1);
}

TEST(CPUKernelBlasThreads, LargeProductsUseEveryCoreWithOneThreadsBits)
{
    for (const std::string& core : blasCores()) inFreshProcess(core, largeProductsShareOutWithOneThreadsBits);
}

// A large product runs in bands only when a trial of them, made once per shape, gave one thread's
// bits; otherwise it runs on the calling thread. Either way it gives one thread's bits.
TEST(CPUKernelBlasThreads, BandsRunOnlyWhereTheirTrialGaveOneThreadsBits)
{
    namespace blas = nn::BlasThreading;
    if (sys::usableProcessorCount() < 2) GTEST_SKIP() << "one core: large products never split";
    const struct {
        int n;  // a shape no other test plans, bands on the tiles of every kernel
        bool spoilTrial;
    } cases[] = {{288, false}, {336, true}};
    for (const auto& [n, spoilTrial] : cases) {
        SCOPED_TRACE(n);
        int trials = 0;
        blas::setBandTrialTamper([&](std::span<float> trial) {
            ++trials;
            if (spoilTrial) trial[0] += 1.0f;
        });
        int bandRuns = 0;
        const blas::PartRunner inTurn = [&](int parts, const std::function<void(int)>& task) {
            ++bandRuns;
            for (int part = 0; part < parts; ++part) task(part);
        };
        const std::size_t count = static_cast<std::size_t>(n) * n;
        const std::vector<float> a = deterministicFloats(count, 5), b = deterministicFloats(count, 6);
        std::vector<float> one(count);
        blas::sgemm(CblasNoTrans, CblasNoTrans, n, n, n, 1.0f, a.data(), n, b.data(), n, 0.0f, one.data(), n);
        int trialsOfFirstProduct = 0;
        for (int call = 0; call < 2; ++call) {
            std::vector<float> c(count, -1.0f);
            blas::product(n, n, n, a.data(), b.data(), c.data(), inTurn);
            EXPECT_EQ(std::memcmp(c.data(), one.data(), count * sizeof(float)), 0) << "call " << call;
            if (call == 0) trialsOfFirstProduct = trials;
        }
        EXPECT_EQ(blas::productThreadCount(n, n, n) > 1, !spoilTrial);
        EXPECT_EQ(bandRuns, spoilTrial ? 0 : 2);
        EXPECT_GT(trialsOfFirstProduct, 0);
        EXPECT_EQ(trials, trialsOfFirstProduct);  // planned once
        blas::setBandTrialTamper({});
    }
}

}  // namespace
}  // namespace korvalen
