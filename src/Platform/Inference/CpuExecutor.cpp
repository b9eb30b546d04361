#include "Platform/Inference/BlasThreading.h"
#include "Platform/Inference/Executor.h"

#include <cblas.h>

#include <algorithm>
#include <vector>

namespace korvalen::nn {

namespace {

class CpuExecutor final : public Executor {
public:
    explicit CpuExecutor(std::shared_ptr<const Network> network)
        : network_(std::move(network)), scratchWidth_(network_->widestLayer())
    {}

    std::string name() const override { return "CPU"; }

    void run(std::span<const float> input, std::span<float> output) const override
    {
        // Two ping-pong buffers per call keep run() free of shared state; they are tiny next to
        // the weights each call streams through.
        std::vector<float> buffers[2] = {std::vector<float>(scratchWidth_), std::vector<float>(scratchWidth_)};
        const float* x = input.data();
        const auto& layers = network_->layers;
        for (std::size_t i = 0; i < layers.size(); ++i) {
            const DenseLayer& layer = layers[i];
            float* y = (i + 1 == layers.size()) ? output.data() : buffers[i % 2].data();
            // y = b, then y = W x + y: the bias rides in through beta = 1.
            std::copy(layer.bias.begin(), layer.bias.end(), y);
            cblas_sgemv(CblasRowMajor, CblasNoTrans, blasint(layer.outputSize), blasint(layer.inputSize), 1.0f,
                        layer.weights.data(), blasint(layer.inputSize), x, 1, 1.0f, y, 1);
            applyActivation(layer.activation, y, layer.outputSize);
            x = y;
        }
    }

private:
    std::shared_ptr<const Network> network_;
    std::size_t scratchWidth_;
};

}  // namespace

std::unique_ptr<Executor> makeCpuExecutor(std::shared_ptr<const Network> network)
{
    BlasThreading::applyPolicy();  // a no-op once the application has applied it at start-up
    return std::make_unique<CpuExecutor>(std::move(network));
}

}  // namespace korvalen::nn
