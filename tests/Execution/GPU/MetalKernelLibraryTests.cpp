// Every kernel of the library on a tiny grid, checked against a CPU reference of the same
// arithmetic. Each grid is rounded up past its shape and every output carries a guard tail, so the
// same runs prove that the kernels' bounds guards keep them inside their outputs.

#include "Execution/GPU/MetalKernelContext.h"
#include "Execution/GPU/MetalKernelLibrary.h"
#include "Execution/GPU/MetalRunnerSupport.h"
#include "Platform/Compute/GpuDevices.h"
#include "support/GpuTestDevice.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <sstream>
#include <string>

namespace korvalen {
namespace nn {
extern const char denseKernelSource[];  // the model runtime's kernels, embedded at build time
}
namespace {

using gpu::Size3;
using BufferPtr = std::shared_ptr<gpu::Buffer>;

constexpr std::size_t kGuardBytes = 64;
constexpr std::uint8_t kGuardByte = 0x7F;  // as a float: 3.39e38, never a kernel result here

std::uint16_t toHalf(float value)
{
    _Float16 h = static_cast<_Float16>(value);
    std::uint16_t bits;
    std::memcpy(&bits, &h, 2);
    return bits;
}

float fromHalf(std::uint16_t bits)
{
    _Float16 h;
    std::memcpy(&h, &bits, 2);
    return static_cast<float>(h);
}

// Test data in [-1, 1) from a small linear congruential stream.
std::vector<float> sampleFloats(std::size_t count, std::uint32_t seed)
{
    std::vector<float> values(count);
    std::uint32_t state = seed * 2654435761u + 12345u;
    for (auto& v : values) {
        state = state * 1664525u + 1013904223u;
        v = static_cast<float>(state >> 8) / 8388608.0f - 1.0f;
    }
    return values;
}

std::vector<std::uint16_t> halves(const std::vector<float>& values)
{
    std::vector<std::uint16_t> out;
    for (float v : values) out.push_back(toHalf(v));
    return out;
}

// fma of three half values rounded once to half, exactly: a*b + c as an integer count of 2^-48.
float halfFmaReference(float a, float b, float c)
{
    auto scaled = [](double v, int shift) { return static_cast<__int128>(std::ldexp(v, shift)); };
    __int128 exact = scaled(static_cast<double>(a) * static_cast<double>(b), 48) + scaled(c, 48);
    const bool negative = exact < 0;
    unsigned __int128 magnitude = negative ? -exact : exact;
    int top = 127;
    while (top >= 0 && !((magnitude >> top) & 1)) --top;
    const int spacingBits = std::max(24, top - 10);  // half subnormals are spaced 2^-24 = 2^24 units
    const unsigned __int128 spacing = static_cast<unsigned __int128>(1) << spacingBits;
    unsigned __int128 q = magnitude / spacing;
    const unsigned __int128 r = magnitude % spacing;
    const unsigned __int128 halfway = spacing / 2;
    if (r > halfway || (r == halfway && (q & 1))) ++q;
    double value = std::ldexp(static_cast<double>(q), spacingBits - 48);
    if (value > 65504.0) value = INFINITY;
    return static_cast<float>(negative ? -value : value);
}

struct Arg {
    BufferPtr buffer;
    std::vector<std::byte> bytes;
    Arg(BufferPtr b) : buffer(std::move(b)) {}  // NOLINT: implicit on purpose
    template <class T, class = std::enable_if_t<std::is_trivially_copyable_v<T>>>
    Arg(const T& value) : bytes(sizeof(T))
    {  // NOLINT
        std::memcpy(bytes.data(), &value, sizeof(T));
    }
};

class KernelLibraryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        device_ = testing::openTestDevice();
        if (!device_) return;
        library_ = device_->makeLibrary(MetalKernelLibrary::source());
        queue_ = device_->makeCommandQueue();
    }
    static void TearDownTestSuite()
    {
        queue_.reset();
        library_.reset();
        device_.reset();
    }
    void SetUp() override
    {
        if (!device_) GTEST_SKIP() << "no OpenCL device on this machine";
        ASSERT_TRUE(queue_);
    }

    template <class T>
    BufferPtr upload(const std::vector<T>& values)
    {
        auto buffer = device_->makeBuffer(values.data(), values.size() * sizeof(T), gpu::StorageMode::shared);
        EXPECT_TRUE(buffer);
        return buffer;
    }

    // An output of count elements and a guard tail, every byte set to the guard value.
    template <class T>
    BufferPtr output(std::size_t count)
    {
        std::vector<std::uint8_t> fill(count * sizeof(T) + kGuardBytes, kGuardByte);
        return upload(fill);
    }

    void run(const std::string& kernel, const std::vector<Arg>& args, Size3 grid, Size3 group)
    {
        auto pipeline = library_->makePipeline(kernel);
        auto commands = queue_->makeCommandBuffer();
        auto encoder = commands->makeComputeEncoder();
        encoder->setPipeline(pipeline);
        for (std::uint32_t i = 0; i < args.size(); ++i) {
            if (args[i].buffer) {
                encoder->setBuffer(args[i].buffer, i);
            } else {
                encoder->setBytes(args[i].bytes.data(), args[i].bytes.size(), i);
            }
        }
        encoder->dispatchThreads(grid, group);
        encoder->endEncoding();
        commands->commit();
        ASSERT_TRUE(testing::finishGpuWork(*commands)) << kernel << ": " << commands->error().value_or("timed out");
    }

    template <class T>
    std::vector<T> read(const BufferPtr& buffer, std::size_t count)
    {
        return buffer->elements<T>(0, count);
    }

    // The kernel wrote nothing past its count elements.
    template <class T>
    void expectGuardIntact(const BufferPtr& buffer, std::size_t count)
    {
        auto tail = buffer->elements<std::uint8_t>(count * sizeof(T), kGuardBytes);
        for (std::size_t i = 0; i < tail.size(); ++i) {
            ASSERT_EQ(tail[i], kGuardByte) << "byte " << i << " past the output was written";
        }
    }

    static inline std::shared_ptr<gpu::Device> device_;
    static inline std::shared_ptr<gpu::Library> library_;
    static inline std::shared_ptr<gpu::CommandQueue> queue_;
};

TEST_F(KernelLibraryTest, LibraryHoldsEveryKernel)
{
    std::set<std::string> unique(MetalKernelLibrary::kernelNames().begin(), MetalKernelLibrary::kernelNames().end());
    EXPECT_EQ(unique.size(), 23u);
    for (const auto& name : MetalKernelLibrary::kernelNames()) {
        EXPECT_TRUE(library_->hasFunction(name)) << name;
        auto pipeline = library_->makePipeline(name);
        EXPECT_GE(pipeline->threadExecutionWidth(), 1u);
        EXPECT_GE(pipeline->maxTotalThreadsPerThreadgroup(), 1u);
    }
}

TEST_F(KernelLibraryTest, SourceKeepsEveryFloatLiteralSingle)
{
    // A literal such as 0.5 without its f is a double where the device has fp64.
    std::string text;
    std::istringstream lines(MetalKernelLibrary::source());
    for (std::string line; std::getline(lines, line);) text += line.substr(0, line.find("//")) + "\n";
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '.' || i == 0 || !std::isdigit(static_cast<unsigned char>(text[i - 1]))) continue;
        std::size_t end = i + 1;
        while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '+' ||
                                     (text[end] == '-' && (text[end - 1] == 'e')))) {
            ++end;
        }
        std::string literal = text.substr(i, end - i);
        EXPECT_EQ(literal.back(), 'f') << "literal near: " << text.substr(i > 20 ? i - 20 : 0, 40);
    }
}

// The compiler's messages of a clean build belong in its log: a first run prints nothing. Each row
// compiles every kernel source of the program in a fresh process whose OpenCL driver targets a
// processor of another kind and keeps no kernel cache, so that it really compiles.
TEST(KernelSources, BuildWithoutAWordOnStandardError)
{
    if (gpu::deviceProvider().devices().empty()) GTEST_SKIP() << "no OpenCL device on this machine";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto kept = [](const char* name) {
        return std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt;
    };
    const auto keptVariant = kept("POCL_KERNELLIB_NAME"), keptCache = kept("POCL_KERNEL_CACHE");
    ::setenv("POCL_KERNEL_CACHE", "0", 1);
    // pocl's kernel library variants: this machine's own, one without AVX-512, one without AVX.
    for (const char* variant : {"", "avx2", "sse2"}) {
        if (*variant) {
            ::setenv("POCL_KERNELLIB_NAME", variant, 1);
        } else {
            ::unsetenv("POCL_KERNELLIB_NAME");
        }
        EXPECT_EXIT(
            {
                auto device = gpu::openDevice(gpu::deviceProvider().devices().front());
                device->makeLibrary(MetalKernelLibrary::source());  // builds the copy kernel too
                device->makeLibrary(nn::denseKernelSource);
                std::_Exit(0);
            },
            ::testing::ExitedWithCode(0), ::testing::IsEmpty())
            << "kernel library variant " << (*variant ? variant : "of this machine");
    }
    const auto restore = [](const char* name, const std::optional<std::string>& value) {
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    };
    restore("POCL_KERNELLIB_NAME", keptVariant);
    restore("POCL_KERNEL_CACHE", keptCache);
}

TEST_F(KernelLibraryTest, MatrixFP32MatchesFusedReference)
{
    const MatrixShape shape{3, 5, 4};
    auto a = sampleFloats(12, 1), b = sampleFloats(20, 2);
    auto c = output<float>(15);
    run("matrix_fp32", {upload(a), upload(b), c, shape}, {7, 6, 1}, {4, 4, 1});
    auto got = read<float>(c, 15);
    for (std::uint32_t y = 0; y < 3; ++y) {
        for (std::uint32_t x = 0; x < 5; ++x) {
            float sum = 0.0f;
            for (std::uint32_t p = 0; p < 4; ++p) sum = std::fma(a[y * 4 + p], b[p * 5 + x], sum);
            EXPECT_EQ(got[y * 5 + x], sum) << y << "," << x;
        }
    }
    expectGuardIntact<float>(c, 15);

    // An empty inner dimension gives zeros.
    auto zero = output<float>(4);
    run("matrix_fp32", {upload(a), upload(b), zero, MatrixShape{2, 2, 0}}, {4, 4, 1}, {4, 4, 1});
    EXPECT_EQ(read<float>(zero, 4), std::vector<float>(4, 0.0f));
    expectGuardIntact<float>(zero, 4);
}

TEST_F(KernelLibraryTest, MatrixFP16RoundsOnceToHalfAtEveryStep)
{
    // Rows 0 and 1 end on sums whose float value sits exactly halfway between two halves while
    // the exact sum lies just beside it: 16384 + 5.78125 x 1.3837890625 = 16392 + 2^-15 must
    // round up to 16400, and 16400 + 8.0078125 x 0.9990234375 = 16408 - 2^-17 down to 16400.
    const std::vector<float> aValues = {16384.0f, 5.78125f, 16400.0f, 8.0078125f};
    const std::vector<float> bValues = {1.0f, 1.0f, 1.3837890625f, 0.9990234375f};
    auto c = output<std::uint16_t>(4);
    run("matrix_fp16", {upload(halves(aValues)), upload(halves(bValues)), c, MatrixShape{2, 2, 2}}, {3, 3, 1},
        {2, 2, 1});
    auto got = read<std::uint16_t>(c, 4);
    EXPECT_EQ(fromHalf(got[0]), 16400.0f);
    EXPECT_EQ(fromHalf(got[3]), 16400.0f);
    expectGuardIntact<std::uint16_t>(c, 4);

    // General inputs against the exact reference, half rounding after every product-sum.
    const MatrixShape shape{4, 3, 9};
    auto a = halves(sampleFloats(36, 3)), b = halves(sampleFloats(27, 4));
    auto out = output<std::uint16_t>(12);
    run("matrix_fp16", {upload(a), upload(b), out, shape}, {4, 5, 1}, {4, 4, 1});
    auto values = read<std::uint16_t>(out, 12);
    for (std::uint32_t y = 0; y < 4; ++y) {
        for (std::uint32_t x = 0; x < 3; ++x) {
            float sum = 0.0f;
            for (std::uint32_t p = 0; p < 9; ++p)
                sum = halfFmaReference(fromHalf(a[y * 9 + p]), fromHalf(b[p * 3 + x]), sum);
            EXPECT_EQ(fromHalf(values[y * 3 + x]), sum) << y << "," << x;
        }
    }
    expectGuardIntact<std::uint16_t>(out, 12);
}

TEST_F(KernelLibraryTest, MatrixINT8AccumulatesExactly)
{
    const MatrixShape shape{3, 4, 5};
    std::vector<std::int8_t> a(15), b(20);
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<std::int8_t>(static_cast<int>(i * 7 % 31) - 15);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::int8_t>(static_cast<int>(i * 11 % 31) - 15);
    a[0] = -128;
    b[0] = -128;
    auto c = output<std::int32_t>(12);
    run("matrix_int8", {upload(a), upload(b), c, shape}, {5, 5, 1}, {4, 4, 1});
    auto got = read<std::int32_t>(c, 12);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 4; ++x) {
            std::int32_t sum = 0;
            for (int p = 0; p < 5; ++p) sum += static_cast<int>(a[y * 5 + p]) * static_cast<int>(b[p * 4 + x]);
            EXPECT_EQ(got[y * 4 + x], sum);
        }
    }
    expectGuardIntact<std::int32_t>(c, 12);
}

// The register-blocked and local-tiled forms of the three products against the one-element form,
// byte for byte (NaNs of the half product aside: any NaN is the same result). The shapes cross
// every edge of the blocks: rows past a block of 6 or a tile of 64, columns past 64 and past 16,
// depths past a block of 128 and a tile step of 16, and no depth at all.
TEST_F(KernelLibraryTest, BlockedAndTiledProductsGiveTheElementFormsBits)
{
    using MetalRunnerSupport::MatrixForm;
    MetalKernelContext context(device_);
    const std::vector<MatrixShape> shapes = {{13, 70, 133}, {96, 96, 64}, {96, 64, 96}, {7, 150, 300},
                                             {1, 16, 1},    {70, 17, 2},  {5, 3, 0}};
    // Half inputs over many magnitudes, so that sums round at many exponents, go subnormal and
    // overflow; plus the two midpoint cases of the half test above, in sixteen-wide columns.
    const auto spread = [](std::size_t count, std::uint32_t seed) {
        auto values = sampleFloats(count, seed);
        for (std::size_t i = 0; i < values.size(); ++i)
            values[i] = std::ldexp(values[i], static_cast<int>(i % 23) - 14);
        return halves(values);
    };
    struct Kernel {
        const char* name;
        std::size_t inputBytes, outputBytes;
    };
    for (const Kernel kernel :
         {Kernel{"matrix_fp32", 4, 4}, Kernel{"matrix_fp16", 2, 2}, Kernel{"matrix_int8", 1, 4}}) {
        for (const MatrixShape& shape : shapes) {
            const std::size_t aCount = std::max<std::size_t>(shape.m * shape.k, 1);
            const std::size_t bCount = std::max<std::size_t>(shape.k * shape.n, 1);
            BufferPtr a, b;
            if (kernel.inputBytes == 4) {
                a = upload(sampleFloats(aCount, 21));
                b = upload(sampleFloats(bCount, 22));
            } else if (kernel.inputBytes == 2) {
                a = upload(spread(aCount, 23));
                b = upload(spread(bCount, 24));
            } else {
                std::vector<std::int8_t> bytesA(aCount), bytesB(bCount);
                for (std::size_t i = 0; i < aCount; ++i) bytesA[i] = static_cast<std::int8_t>(i * 37 + 11);
                for (std::size_t i = 0; i < bCount; ++i) bytesB[i] = static_cast<std::int8_t>(i * 53 + 5);
                a = upload(bytesA);
                b = upload(bytesB);
            }
            const std::size_t count = static_cast<std::size_t>(shape.m) * shape.n;
            const std::size_t bytes = count * kernel.outputBytes;
            auto expected = output<std::uint8_t>(bytes);
            const auto reference =
                MetalRunnerSupport::matrixDispatch(context, kernel.name, shape.m, shape.n, MatrixForm::perElement);
            run(reference.pipeline->name(), {a, b, expected, shape}, reference.grid, reference.group);
            const auto want = read<std::uint8_t>(expected, bytes);
            for (const MatrixForm form : {MatrixForm::registerBlocks, MatrixForm::localTiles}) {
                const auto dispatch = MetalRunnerSupport::matrixDispatch(context, kernel.name, shape.m, shape.n, form);
                auto c = output<std::uint8_t>(bytes);
                run(dispatch.pipeline->name(), {a, b, c, shape}, dispatch.grid, dispatch.group);
                const auto got = read<std::uint8_t>(c, bytes);
                std::size_t differing = 0;
                for (std::size_t i = 0; i < count; ++i) {
                    const auto at = [&](const std::vector<std::uint8_t>& v) {
                        std::uint32_t word = 0;
                        std::memcpy(&word, v.data() + i * kernel.outputBytes, kernel.outputBytes);
                        return word;
                    };
                    const bool bothNaN =
                        kernel.outputBytes == 2 && std::isnan(fromHalf(at(got))) && std::isnan(fromHalf(at(want)));
                    differing += at(got) != at(want) && !bothNaN ? 1 : 0;
                }
                EXPECT_EQ(differing, 0u) << dispatch.pipeline->name() << " " << shape.m << "x" << shape.n << "x"
                                         << shape.k;
                expectGuardIntact<std::uint8_t>(c, bytes);
            }
        }
    }
}

// The 3x3 stencil shared by the two image kernels.
float stencil(const std::vector<float>& in, const ImageShape& s, std::uint32_t x, std::uint32_t y, std::uint32_t z,
              const float (&w)[9])
{
    const std::uint32_t plane = s.width * s.height;
    float sum = 0.0f;
    int i = 0;
    for (int ky = -1; ky <= 1; ++ky) {
        for (int kx = -1; kx <= 1; ++kx) {
            sum = std::fma(in[z * plane + (y + ky) * s.width + (x + kx)], w[i++], sum);
        }
    }
    return sum;
}

bool border(const ImageShape& s, std::uint32_t x, std::uint32_t y)
{
    return x == 0 || y == 0 || x + 1 >= s.width || y + 1 >= s.height;
}

TEST_F(KernelLibraryTest, ConvolutionZeroesBorderAndFiltersInterior)
{
    static const float w[9] = {0.0625f, 0.125f, 0.0625f, 0.125f, 0.25f, 0.125f, 0.0625f, 0.125f, 0.0625f};
    const ImageShape shape{5, 4, 2};
    auto in = sampleFloats(40, 5);
    auto out = output<float>(40);
    run("convolution_3x3", {upload(in), out, shape}, {6, 6, 3}, {4, 2, 2});
    auto got = read<float>(out, 40);
    for (std::uint32_t z = 0; z < 2; ++z) {
        for (std::uint32_t y = 0; y < 4; ++y) {
            for (std::uint32_t x = 0; x < 5; ++x) {
                float expected = border(shape, x, y) ? 0.0f : stencil(in, shape, x, y, z, w);
                EXPECT_EQ(got[z * 20 + y * 5 + x], expected) << x << "," << y << "," << z;
            }
        }
    }
    expectGuardIntact<float>(out, 40);

    // Narrower than 3 pixels: all border.
    auto narrow = output<float>(8);
    run("convolution_3x3", {upload(sampleFloats(8, 6)), narrow, ImageShape{2, 4, 1}}, {4, 4, 1}, {2, 2, 1});
    EXPECT_EQ(read<float>(narrow, 8), std::vector<float>(8, 0.0f));
    expectGuardIntact<float>(narrow, 8);
}

TEST_F(KernelLibraryTest, DiffusionDenoiseCopiesBorderAndGatesInterior)
{
    static const float w[9] = {0.04f, 0.08f, 0.04f, 0.08f, 0.52f, 0.08f, 0.04f, 0.08f, 0.04f};
    const ImageShape shape{4, 4, 2};
    auto in = sampleFloats(32, 7);
    auto out = output<float>(32);
    run("diffusion_denoise", {upload(in), out, shape}, {5, 5, 2}, {2, 2, 2});
    auto got = read<float>(out, 32);
    for (std::uint32_t z = 0; z < 2; ++z) {
        for (std::uint32_t y = 0; y < 4; ++y) {
            for (std::uint32_t x = 0; x < 4; ++x) {
                const std::size_t i = z * 16 + y * 4 + x;
                if (border(shape, x, y)) {
                    EXPECT_EQ(got[i], in[i]);
                } else {
                    float v = (stencil(in, shape, x, y, z, w) - 0.05f) * 0.96f;
                    EXPECT_NEAR(got[i], v / (1.0f + std::exp(-1.702f * v)), 1e-6f);
                }
            }
        }
    }
    expectGuardIntact<float>(out, 32);
}

TEST_F(KernelLibraryTest, UpscaleInterpolatesAndClampsTheLastColumn)
{
    const ImageShape shape{3, 2, 1};
    auto in = sampleFloats(6, 8);
    auto out = output<float>(24);
    run("upscale_2x", {upload(in), out, shape}, {8, 5, 1}, {4, 4, 1});
    auto got = read<float>(out, 24);
    auto mix = [](float p, float q, float t) { return p + (q - p) * t; };
    for (std::uint32_t y = 0; y < 4; ++y) {
        for (std::uint32_t x = 0; x < 6; ++x) {
            float fx = x * 0.5f, fy = y * 0.5f;
            std::uint32_t x0 = std::min<std::uint32_t>(static_cast<std::uint32_t>(fx), 2);
            std::uint32_t y0 = std::min<std::uint32_t>(static_cast<std::uint32_t>(fy), 1);
            std::uint32_t x1 = std::min<std::uint32_t>(x0 + 1, 2), y1 = std::min<std::uint32_t>(y0 + 1, 1);
            float tx = fx - x0, ty = fy - y0;
            float expected =
                mix(mix(in[y0 * 3 + x0], in[y0 * 3 + x1], tx), mix(in[y1 * 3 + x0], in[y1 * 3 + x1], tx), ty);
            EXPECT_EQ(got[y * 6 + x], expected) << x << "," << y;
        }
    }
    expectGuardIntact<float>(out, 24);

    auto single = output<float>(4);
    run("upscale_2x", {upload(std::vector<float>{0.75f}), single, ImageShape{1, 1, 1}}, {3, 3, 1}, {2, 2, 1});
    EXPECT_EQ(read<float>(single, 4), std::vector<float>(4, 0.75f));
    expectGuardIntact<float>(single, 4);
}

std::vector<float> softmaxReference(std::vector<float> row)
{
    float largest = -3.402823466e+38f;
    for (float v : row) largest = std::max(largest, v);
    float sum = 0.0f;
    for (float& v : row) {
        v = std::exp(v - largest);
        sum += v;
    }
    float inverse = 1.0f / std::max(sum, 1.0e-20f);
    for (float& v : row) v *= inverse;
    return row;
}

TEST_F(KernelLibraryTest, SoftmaxRowsNormalisesWholeRowsOnly)
{
    // 17 elements in rows of 5: three rows; the last two elements are no row and stay as they were.
    auto values = sampleFloats(17, 9);
    for (float& v : values) v *= 4.0f;
    std::fill(values.begin() + 10, values.begin() + 15, 2.5f);
    values.resize(17 + kGuardBytes / 4, 3.0e38f);
    auto tensor = upload(values);
    run("softmax_rows", {tensor, TensorShape{17, 5}}, {7, 1, 1}, {4, 1, 1});
    auto got = read<float>(tensor, values.size());
    for (int r = 0; r < 3; ++r) {
        auto expected = softmaxReference({values.begin() + r * 5, values.begin() + r * 5 + 5});
        for (int c = 0; c < 5; ++c) EXPECT_NEAR(got[r * 5 + c], expected[c], 1e-6f);
    }
    for (int c = 10; c < 15; ++c) EXPECT_NEAR(got[c], 0.2f, 1e-7f);
    for (std::size_t i = 15; i < values.size(); ++i) EXPECT_EQ(got[i], values[i]) << i;
}

TEST_F(KernelLibraryTest, KernelsWithRowsIgnoreAZeroColumnShape)
{
    // A shape without columns has no rows; the kernels must not divide by it.
    auto tensor = output<float>(4);
    run("softmax_rows", {tensor, TensorShape{4, 0}}, {4, 1, 1}, {4, 1, 1});
    auto out = output<float>(4);
    run("layernorm_softmax", {upload(sampleFloats(4, 1)), out, TensorShape{4, 0}}, {4, 1, 1}, {4, 1, 1});
    run("rope_rmsnorm", {upload(sampleFloats(4, 1)), out, TensorShape{4, 0}}, {4, 1, 1}, {4, 1, 1});
    run("gemv_fp16", {upload(halves(sampleFloats(4, 1))), upload(halves(sampleFloats(4, 2))), out, TensorShape{4, 0}},
        {4, 1, 1}, {4, 1, 1});
    expectGuardIntact<float>(tensor, 0);
    expectGuardIntact<float>(out, 0);
}

TEST_F(KernelLibraryTest, LayerNormSoftmaxRowsSumToOne)
{
    auto in = sampleFloats(24, 10);
    auto out = output<float>(24);
    run("layernorm_softmax", {upload(in), out, TensorShape{24, 8}}, {5, 1, 1}, {4, 1, 1});
    auto got = read<float>(out, 24);
    for (int r = 0; r < 3; ++r) {
        std::vector<float> row(in.begin() + r * 8, in.begin() + r * 8 + 8);
        float mean = 0.0f;
        for (float v : row) mean += v;
        mean /= 8.0f;
        float variance = 0.0f;
        for (float v : row) variance += (v - mean) * (v - mean);
        float invStd = 1.0f / std::sqrt(variance / 8.0f + 1.0e-5f);
        for (float& v : row) v = (v - mean) * invStd;
        auto expected = softmaxReference(row);
        float sum = 0.0f;
        for (int c = 0; c < 8; ++c) {
            EXPECT_NEAR(got[r * 8 + c], expected[c], 2e-6f);
            sum += got[r * 8 + c];
        }
        EXPECT_NEAR(sum, 1.0f, 1e-5f);
    }
    expectGuardIntact<float>(out, 24);
}

TEST_F(KernelLibraryTest, ElementwiseKernelsMatchTheirFormulas)
{
    const std::uint32_t n = 37;
    auto a = sampleFloats(n, 11), b = sampleFloats(n, 12);

    auto fused = output<float>(n);
    run("tensor_fused", {upload(a), upload(b), fused, n}, {40, 1, 1}, {8, 1, 1});
    auto got = read<float>(fused, n);
    for (std::uint32_t i = 0; i < n; ++i) {
        float x = std::fma(a[i], b[i], std::fma(a[i], 0.125f, b[i]));
        float expected = 0.5f * x * (1.0f + std::tanh(0.7978846f * (x + 0.044715f * (x * x * x))));
        EXPECT_NEAR(got[i], expected, 1e-6f) << i;
    }
    expectGuardIntact<float>(fused, n);

    auto updated = output<float>(n);
    run("training_update", {upload(a), upload(b), updated, n}, {40, 1, 1}, {8, 1, 1});
    got = read<float>(updated, n);
    for (std::uint32_t i = 0; i < n; ++i) EXPECT_EQ(got[i], a[i] - 0.002f * b[i]);
    expectGuardIntact<float>(updated, n);

    // Quiet samples close the gate, loud ones pass; the ends use themselves as missing neighbours.
    std::vector<float> audio = {0.05f, -0.02f, 0.01f, 0.5f, -0.9f, 0.3f, 0.0f, 0.07f, -0.03f, 0.6f};
    auto filtered = output<float>(audio.size());
    run("noise_suppress", {upload(audio), filtered, static_cast<std::uint32_t>(audio.size())}, {16, 1, 1}, {8, 1, 1});
    got = read<float>(filtered, audio.size());
    for (std::size_t i = 0; i < audio.size(); ++i) {
        float previous = i == 0 ? audio[0] : audio[i - 1];
        float next = audio[std::min(i + 1, audio.size() - 1)];
        float f = previous * 0.18f + audio[i] * 0.64f + next * 0.18f;
        float envelope = std::max(std::fabs(previous), std::max(std::fabs(audio[i]), std::fabs(next)));
        float gate = std::clamp((envelope - 0.08f) * 3.5f, 0.0f, 1.0f);
        EXPECT_EQ(got[i], f * gate) << i;
    }
    EXPECT_EQ(got[0], 0.0f);
    EXPECT_EQ(got[4], 0.5f * 0.18f + -0.9f * 0.64f + 0.3f * 0.18f);
    expectGuardIntact<float>(filtered, audio.size());
}

TEST_F(KernelLibraryTest, GeneratorKernelsWriteTheirPatterns)
{
    const std::uint32_t n = 300;
    auto ramp = output<float>(n);
    run("fill_tensor", {ramp, n}, {304, 1, 1}, {16, 1, 1});
    auto got = read<float>(ramp, n);
    for (std::uint32_t i = 0; i < n; ++i) EXPECT_EQ(got[i], static_cast<float>(i & 255u) / 256.0f);
    expectGuardIntact<float>(ramp, n);

    auto cache = output<std::uint16_t>(n);
    run("kv_cache_update", {cache, n}, {304, 1, 1}, {16, 1, 1});
    auto words = read<std::uint16_t>(cache, n);
    for (std::uint32_t i = 0; i < n; ++i) {
        EXPECT_EQ(words[i], toHalf(static_cast<float>(static_cast<int>(i % 257) - 128) / 128.0f)) << i;
    }
    EXPECT_EQ(fromHalf(words[0]), -1.0f);
    EXPECT_EQ(fromHalf(words[128]), 0.0f);
    EXPECT_EQ(fromHalf(words[256]), 1.0f);
    expectGuardIntact<std::uint16_t>(cache, n);

    auto copied = output<std::uint16_t>(n);
    run("kv_cache_read_write", {cache, copied, n}, {320, 1, 1}, {32, 1, 1});
    auto written = read<std::uint16_t>(copied, n);
    for (std::uint32_t i = 0; i < n; ++i) {
        float bias = static_cast<float>(static_cast<int>(i & 7u) - 3) * 0.0001f;
        EXPECT_EQ(written[i], toHalf(fromHalf(words[i]) * 0.9990234375f + bias)) << i;
    }
    expectGuardIntact<std::uint16_t>(copied, n);
}

TEST_F(KernelLibraryTest, RopeRMSNormRotatesPairsAndLeavesAnOddLastColumn)
{
    const std::uint32_t rows = 4, columns = 5;
    auto in = sampleFloats(rows * columns, 13);
    auto out = output<float>(rows * columns);
    run("rope_rmsnorm", {upload(in), out, TensorShape{rows * columns, columns}}, {6, 1, 1}, {4, 1, 1});
    auto got = read<float>(out, rows * columns);
    const float unwritten = [] {
        float f;
        std::uint32_t bits = 0x7F7F7F7Fu;
        std::memcpy(&f, &bits, 4);
        return f;
    }();
    for (std::uint32_t r = 0; r < rows; ++r) {
        float meanSquare = 0.0f;
        for (std::uint32_t c = 0; c < columns; ++c)
            meanSquare = std::fma(in[r * columns + c], in[r * columns + c], meanSquare);
        float inverseRMS = 1.0f / std::sqrt(meanSquare / columns + 1.0e-5f);
        for (std::uint32_t c = 0; c + 1 < columns; c += 2) {
            float x0 = in[r * columns + c] * inverseRMS, x1 = in[r * columns + c + 1] * inverseRMS;
            float angle = static_cast<float>(r) * std::pow(10000.0f, -static_cast<float>(c) / columns);
            EXPECT_NEAR(got[r * columns + c], x0 * std::cos(angle) - x1 * std::sin(angle), 2e-5f);
            EXPECT_NEAR(got[r * columns + c + 1], x0 * std::sin(angle) + x1 * std::cos(angle), 2e-5f);
            if (r == 0) {
                EXPECT_NEAR(got[c], x0, 1e-6f);  // position 0 is not rotated
            }
        }
        EXPECT_EQ(got[r * columns + columns - 1], unwritten);
    }
    expectGuardIntact<float>(out, rows * columns);
}

TEST_F(KernelLibraryTest, MemoryCopyAndCacheProbe)
{
    std::vector<std::uint32_t> words(4 * 9);
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = static_cast<std::uint32_t>(i * 2654435761u);
    auto destination = output<std::uint32_t>(words.size());
    run("metal_memory_copy", {upload(words), destination, 9u}, {12, 1, 1}, {4, 1, 1});
    EXPECT_EQ(read<std::uint32_t>(destination, words.size()), words);
    expectGuardIntact<std::uint32_t>(destination, words.size());

    std::vector<float> source(64);
    for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<float>(i & 255u) / 256.0f;
    const CacheShape shape{64, 20, 8, 5};
    auto probe = output<float>(20);
    run("metal_cache_probe", {upload(source), probe, shape}, {24, 1, 1}, {8, 1, 1});
    auto got = read<float>(probe, 20);
    for (std::uint32_t t = 0; t < 20; ++t) {
        std::uint32_t index = (t * 131u + (t >> 3)) & 63u;
        float sum = 0.0f;
        for (std::uint32_t read = 0; read < 8; ++read) {
            sum += source[index];
            index = (index + 5u + read * 17u) & 63u;
        }
        EXPECT_EQ(got[t], sum) << t;
    }
    expectGuardIntact<float>(probe, 20);

    auto untouched = output<float>(0);
    run("metal_cache_probe", {upload(source), untouched, CacheShape{0, 20, 8, 5}}, {24, 1, 1}, {8, 1, 1});
    expectGuardIntact<float>(untouched, 0);
}

TEST_F(KernelLibraryTest, MatrixVectorProductsAccumulateInFloat)
{
    const std::uint32_t rows = 5, columns = 6;
    auto matrix = halves(sampleFloats(rows * columns, 14));
    auto vector = halves(sampleFloats(columns, 15));
    auto out = output<float>(rows);
    run("gemv_fp16", {upload(matrix), upload(vector), out, TensorShape{rows * columns, columns}}, {8, 1, 1}, {4, 1, 1});
    auto got = read<float>(out, rows);
    for (std::uint32_t r = 0; r < rows; ++r) {
        float sum = 0.0f;
        for (std::uint32_t c = 0; c < columns; ++c)
            sum = std::fma(fromHalf(matrix[r * columns + c]), fromHalf(vector[c]), sum);
        EXPECT_EQ(got[r], sum);
    }
    expectGuardIntact<float>(out, rows);

    // Nibbles 0, 8 and 15 decode to -1, 0 and 0.875; the even weight sits in the low nibble.
    std::vector<std::uint8_t> packed(rows * columns / 2);
    for (std::size_t j = 0; j < packed.size(); ++j) packed[j] = static_cast<std::uint8_t>((j * 37 + 11) & 0xFF);
    packed[0] = 0xF0;  // weight 0 = nibble 0, weight 1 = nibble 15
    packed[1] = 0x08;  // weight 2 = nibble 8
    auto q4 = output<float>(rows);
    run("q4_gemv", {upload(packed), upload(vector), q4, TensorShape{rows * columns, columns}}, {8, 1, 1}, {4, 1, 1});
    got = read<float>(q4, rows);
    auto weight = [&](std::uint32_t flat) {
        std::uint32_t byte = packed[flat >> 1];
        std::uint32_t nibble = (flat & 1) ? byte >> 4 : byte & 15;
        return static_cast<float>(static_cast<int>(nibble) - 8) * 0.125f;
    };
    EXPECT_EQ(weight(0), -1.0f);
    EXPECT_EQ(weight(1), 0.875f);
    EXPECT_EQ(weight(2), 0.0f);
    for (std::uint32_t r = 0; r < rows; ++r) {
        float sum = 0.0f;
        for (std::uint32_t c = 0; c < columns; ++c) sum = std::fma(weight(r * columns + c), fromHalf(vector[c]), sum);
        EXPECT_EQ(got[r], sum);
    }
    expectGuardIntact<float>(q4, rows);
}

TEST_F(KernelLibraryTest, AttentionKernelsScoreAndProject)
{
    const std::uint32_t sequence = 5, dimension = 4;
    auto q = halves(sampleFloats(sequence * dimension, 16));
    auto k = halves(sampleFloats(sequence * dimension, 17));
    auto v = halves(sampleFloats(sequence * dimension, 18));
    const AttentionShape shape{sequence, dimension};
    auto scores = output<float>(sequence * sequence);
    run("attention_prefill_scores", {upload(q), upload(k), scores, shape}, {8, 6, 1}, {4, 2, 1});
    auto s = read<float>(scores, sequence * sequence);
    for (std::uint32_t query = 0; query < sequence; ++query) {
        for (std::uint32_t key = 0; key < sequence; ++key) {
            float sum = 0.0f;
            for (std::uint32_t d = 0; d < dimension; ++d)
                sum = std::fma(fromHalf(q[query * dimension + d]), fromHalf(k[key * dimension + d]), sum);
            EXPECT_NEAR(s[query * sequence + key], sum * 0.5f, 1e-6f);
        }
    }
    expectGuardIntact<float>(scores, sequence * sequence);

    auto probabilities = sampleFloats(sequence * sequence, 19);
    auto values = output<float>(sequence * dimension);
    run("attention_prefill_values", {upload(probabilities), upload(v), values, shape}, {6, 8, 1}, {2, 4, 1});
    auto o = read<float>(values, sequence * dimension);
    for (std::uint32_t query = 0; query < sequence; ++query) {
        for (std::uint32_t f = 0; f < dimension; ++f) {
            float sum = 0.0f;
            for (std::uint32_t key = 0; key < sequence; ++key)
                sum = std::fma(probabilities[query * sequence + key], fromHalf(v[key * dimension + f]), sum);
            EXPECT_EQ(o[query * dimension + f], sum);
        }
    }
    expectGuardIntact<float>(values, sequence * dimension);

    const AttentionDecodeShape decode{2, 3, 4};
    auto dq = sampleFloats(8, 20), dk = sampleFloats(24, 21), dv = sampleFloats(24, 22);
    auto decodeScores = output<float>(6);
    run("attention_decode_scores", {upload(dq), upload(dk), decodeScores, decode}, {4, 4, 1}, {2, 2, 1});
    auto ds = read<float>(decodeScores, 6);
    for (std::uint32_t head = 0; head < 2; ++head) {
        for (std::uint32_t position = 0; position < 3; ++position) {
            float sum = 0.0f;
            for (std::uint32_t d = 0; d < 4; ++d)
                sum = std::fma(dq[head * 4 + d], dk[(head * 3 + position) * 4 + d], sum);
            EXPECT_NEAR(ds[head * 3 + position], sum * 0.5f, 1e-6f);
        }
    }
    expectGuardIntact<float>(decodeScores, 6);

    auto decodeProbabilities = sampleFloats(6, 23);
    auto decodeOut = output<float>(8);
    run("attention_decode_values", {upload(decodeProbabilities), upload(dv), decodeOut, decode}, {5, 3, 1}, {4, 2, 1});
    auto dout = read<float>(decodeOut, 8);
    for (std::uint32_t head = 0; head < 2; ++head) {
        for (std::uint32_t f = 0; f < 4; ++f) {
            float sum = 0.0f;
            for (std::uint32_t position = 0; position < 3; ++position)
                sum = std::fma(decodeProbabilities[head * 3 + position], dv[(head * 3 + position) * 4 + f], sum);
            EXPECT_EQ(dout[head * 4 + f], sum);
        }
    }
    expectGuardIntact<float>(decodeOut, 8);
}

}  // namespace
}  // namespace korvalen
