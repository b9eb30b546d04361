#include "Visualization/AIVisualizationCoordinator.h"

#include "Platform/Async/Async.h"

#include <QApplication>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace korvalen {

AIVisualizationCoordinator::Services AIVisualizationCoordinator::Services::standard()
{
    Services services;
    services.makeWindow = [](const AIVisualizationRequest& request) -> AIVisualizationWindowController* {
        // Windows need a widget application; without one (a headless tool) items run without them.
        if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return nullptr;
        return new AIVisualizationWindowController(request);
    };
    services.uptimeSeconds = [] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    };
    services.sleep = [](std::chrono::nanoseconds duration) -> Task<bool> { co_return co_await sleepFor(duration); };
    return services;
}

AIVisualizationCoordinator::AIVisualizationCoordinator(Services services, QObject* parent)
    : QObject(parent), services_(std::move(services))
{
    const Services standard = Services::standard();
    if (!services_.makeWindow) services_.makeWindow = standard.makeWindow;
    if (!services_.uptimeSeconds) services_.uptimeSeconds = standard.uptimeSeconds;
    if (!services_.sleep) services_.sleep = standard.sleep;
}

AIVisualizationCoordinator::~AIVisualizationCoordinator()
{
    // No window outlives the run that the coordinator serves.
    close();
}

void AIVisualizationCoordinator::prepare(const AIWorkloadDefinition& workload, AIBackend backend, bool enabled)
{
    close();
    if (!enabled || !visualizationSceneCanExist(workload.id, backend)) return;
    pending_ = PendingVisualization{workload, backend};
    const auto style = visualizationStyle(workload.id, backend);
    if (!style) return;  // automatic backend, GPU scene only: the result decides the window
    controller_ = makeController(workload, backend, *style);
    if (!controller_) return;
    const bool sustained = workload.id == AIWorkloadID::metalSustained || workload.id == AIWorkloadID::mixedSustained;
    controller_->model().setPhase(sustained ? AIVisualizationPhase::sustainedLive : AIVisualizationPhase::scoring);
    showController(*controller_);
}

AIVisualizationWindowController* AIVisualizationCoordinator::makeController(const AIWorkloadDefinition& workload,
                                                                            AIBackend backend,
                                                                            const AIVisualizationStyle& style)
{
    const AIColor accent = color(workload.category);
    AIVisualizationRequest request{
        workload.id, workload.title, workload.subtitle,
        backend,     style,          SceneColor{accent.red, accent.green, accent.blue, accent.opacity}};
    AIVisualizationWindowController* controller = services_.makeWindow(request);
    if (!controller) return nullptr;
    controller->setParent(this);
    QPointer<AIVisualizationCoordinator> self(this);
    QPointer<AIVisualizationWindowController> closed(controller);
    controller->onClose = [self, closed] {
        // Deferred, and only for the very window that closed: a late report of an old window never
        // clears a newer one.
        if (!self) return;
        QTimer::singleShot(0, self, [self, closed] {
            if (!self || !self->controller_ || self->controller_ != closed) return;
            self->controller_ = nullptr;
            self->pending_.reset();
            closed->deleteLater();
        });
    };
    return controller;
}

void AIVisualizationCoordinator::showController(AIVisualizationWindowController& controller)
{
    controller.showWindow();
}

void AIVisualizationCoordinator::applyResult(const std::optional<AIBenchmarkResult>& result,
                                             AIVisualizationWindowController& controller)
{
    controller.model().setScoreText(visualizationScoreText(result));
    controller.model().setThroughputText(visualizationThroughputText(result));
}

std::optional<AIBenchmarkResult> AIVisualizationCoordinator::representativeResult(
    const std::vector<AIBenchmarkResult>& results, AIBackend requestedBackend)
{
    std::optional<AIBenchmarkResult> chosen;
    for (const auto& result : results) {
        if (!result.valid) continue;
        if (requestedBackend == AIBackend::automatic) {
            if (result.scoreRole &&
                (*result.scoreRole == AIScoreRole::platform || *result.scoreRole == AIScoreRole::universalAndPlatform))
                return result;
        } else if (!chosen || result.score > chosen->score) {
            chosen = result;  // strictly greater: the first of equal scores stays
        }
    }
    return chosen;
}

void AIVisualizationCoordinator::markStopping()
{
    if (!controller_) return;
    AIVisualizationModel& model = controller_->model();
    model.setPhase(AIVisualizationPhase::stopped);
    model.setScoreText("Stopping after active AI kernel");
    model.setThroughputText("");
}

void AIVisualizationCoordinator::closeQuietly(AIVisualizationWindowController* controller)
{
    if (!controller) return;
    controller->closingQuietly = true;
    controller->close();
    controller->deleteLater();
}

void AIVisualizationCoordinator::close()
{
    pending_.reset();
    if (controller_) {
        QPointer<AIVisualizationWindowController> closing = controller_;
        controller_ = nullptr;
        closeQuietly(closing);
    }
}

Task<> AIVisualizationCoordinator::complete(std::vector<AIBenchmarkResult> results, bool cancelled,
                                            std::shared_ptr<BenchmarkCancellationToken> cancellation)
{
    if (!pending_) co_return;
    if (cancelled || cancellation->isCancelled()) {
        close();
        co_return;
    }
    const PendingVisualization pending = *pending_;
    const std::optional<AIBenchmarkResult> result = representativeResult(results, pending.requestedBackend);

    if (pending.requestedBackend == AIBackend::automatic && result &&
        pending.workload.id != AIWorkloadID::mixedSustained) {
        // Calibration chose the backend: show the winner's scene, in a window of its own.
        if (controller_) {
            QPointer<AIVisualizationWindowController> old = controller_;
            controller_ = nullptr;
            closeQuietly(old);
        }
        const auto style = visualizationStyle(pending.workload.id, result->backend);
        if (!style) {
            pending_.reset();
            co_return;
        }
        controller_ = makeController(pending.workload, result->backend, *style);
        if (controller_) {
            controller_->model().setPhase(AIVisualizationPhase::completed);
            applyResult(result, *controller_);
            showController(*controller_);
        }
    } else if (controller_) {
        controller_->model().setPhase(AIVisualizationPhase::completed);
        applyResult(result, *controller_);
    }

    if (!controller_) {
        pending_.reset();
        co_return;
    }
    QPointer<AIVisualizationCoordinator> self(this);
    QPointer<AIVisualizationWindowController> held = controller_;
    const bool held_whole = co_await waitForVisualDelay(holdDuration, held, cancellation);
    if (!self || !controller_ || controller_ != held) co_return;
    close();
    if (held_whole && !cancellation->isCancelled()) co_await waitForCancellationAwareDelay(pauseDuration, cancellation);
}

Task<bool> AIVisualizationCoordinator::waitForVisualDelay(std::chrono::nanoseconds duration,
                                                          QPointer<AIVisualizationWindowController> controller,
                                                          std::shared_ptr<BenchmarkCancellationToken> cancellation)
{
    return wait(duration, std::move(controller), true, std::move(cancellation));
}

Task<bool> AIVisualizationCoordinator::waitForCancellationAwareDelay(
    std::chrono::nanoseconds duration, std::shared_ptr<BenchmarkCancellationToken> cancellation)
{
    return wait(duration, nullptr, false, std::move(cancellation));
}

Task<bool> AIVisualizationCoordinator::wait(std::chrono::nanoseconds duration,
                                            QPointer<AIVisualizationWindowController> controller, bool followController,
                                            std::shared_ptr<BenchmarkCancellationToken> cancellation)
{
    QPointer<AIVisualizationCoordinator> self(this);
    const double deadline = services_.uptimeSeconds() + double(duration.count()) / 1e9;
    while (services_.uptimeSeconds() < deadline) {
        if (cancellation->isCancelled()) co_return false;
        if (followController && (!controller_ || controller_ != controller)) co_return false;
        const double remaining = deadline - services_.uptimeSeconds();
        if (remaining <= 0) break;
        // Rounded up, so a remainder below a nanosecond still advances the clock.
        const auto slice = std::chrono::nanoseconds(std::int64_t(std::ceil(std::min(remaining, sliceSeconds) * 1e9)));
        const bool slept = co_await services_.sleep(slice);
        // The coordinator's end stands for the task's cancellation: nothing is left to wait for.
        if (!self || !slept) co_return false;
    }
    co_return !cancellation->isCancelled();
}

}  // namespace korvalen
