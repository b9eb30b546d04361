#include "App/KorvalenAIAppDelegate.h"
#include "App/MainWindow.h"
#include "App/QuitSignalBridge.h"
#include "State/BenchmarkStore.h"
#include "Views/SidebarView.h"
#include "Visualization/AIVisualizationCoordinator.h"
#include "support/FakeBenchmarkEngine.h"
#include "support/QtTestApp.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QScreen>
#include <QTemporaryDir>

#include <csignal>

// A key as the window system delivers it, shortcuts first (what QTest's key clicks use).
Q_GUI_EXPORT void qt_handleKeyEvent(QWindow* w, QEvent::Type t, int k, Qt::KeyboardModifiers mods,
                                    const QString& text = QString(), bool autorep = false, ushort count = 1);

using namespace korvalen;
using korvalen::test::processEventsUntil;

namespace {

TEST(MainWindowPlacement, SavedFrameIsKeptWhenReachableElseTheWindowIsCentred)
{
    const std::vector<QRect> screens{QRect(0, 0, 1920, 1080), QRect(1920, 0, 1280, 1024)};
    const QSize minimum(960, 620), preferred(1280, 820);
    EXPECT_EQ(MainWindow::placement(QRect(100, 50, 1000, 700), screens, minimum, preferred), QRect(100, 50, 1000, 700));
    EXPECT_EQ(MainWindow::placement(QRect(2000, 100, 1000, 700), screens, minimum, preferred),
              QRect(2000, 100, 1000, 700))
        << "a frame on the second screen stays there";
    EXPECT_EQ(MainWindow::placement(QRect(100, 50, 400, 300), screens, minimum, preferred), QRect(100, 50, 960, 620))
        << "a saved frame below the minimum grows to it";
    const QRect centred = MainWindow::placement(std::nullopt, screens, minimum, preferred);
    EXPECT_EQ(centred.size(), preferred);
    EXPECT_EQ(centred.center(), screens[0].center());
    // A screen that went away: the frame's title bar is nowhere to be seen, so it is centred.
    EXPECT_EQ(MainWindow::placement(QRect(4000, 100, 1000, 700), screens, minimum, preferred), centred);
    EXPECT_EQ(MainWindow::placement(QRect(100, -500, 1000, 700), screens, minimum, preferred), centred);
    // A screen smaller than the preferred size still gets at least the minimum.
    EXPECT_EQ(MainWindow::placement(std::nullopt, {QRect(0, 0, 1024, 700)}, minimum, preferred).size(),
              QSize(1024, 700));
}

TEST(MainWindowPlacement, FramesLargerThanTheirScreenShrinkIntoIt)
{
    const std::vector<QRect> screens{QRect(0, 0, 1600, 1000), QRect(1600, 0, 1280, 1024)};
    const QSize minimum(960, 620), preferred(1280, 820);
    const QRect centred = MainWindow::placement(std::nullopt, screens, minimum, preferred);
    const struct {
        QRect saved;
        QRect placed;
    } cases[] = {
        {QRect(0, 0, 6000, 4000), QRect(0, 0, 1600, 1000)},
        {QRect(700, 300, 6000, 4000), QRect(0, 0, 1600, 1000)},
        {QRect(100, 200, 1200, 1800), QRect(100, 0, 1200, 1000)},      // only the height is too large
        {QRect(1700, 50, 3000, 900), QRect(1600, 50, 1280, 900)},      // on the second screen, fitted there
        {QRect(300, 100, 1000000, 1000000), QRect(0, 0, 1600, 1000)},  // absurd but reachable
        {QRect(-1000000, -1000000, 1000000, 999000), centred},         // nowhere near a screen
        {QRect(-6000, 200, 6000, 4000), centred},                      // off-screen: centred as before
    };
    for (const auto& c : cases)
        EXPECT_EQ(MainWindow::placement(c.saved, screens, minimum, preferred), c.placed)
            << c.saved.x() << "," << c.saved.y() << " " << c.saved.width() << "x" << c.saved.height();
}

// Frames are the content's, as saved; the window manager adds a title bar above and thin borders.
TEST(MainWindowPlacement, TheTitleBarIsOnAScreenWhateverWasSaved)
{
    const QRect small(0, 0, 1024, 640), large(0, 0, 1600, 1000), below(0, 1080, 1920, 1080);
    const QSize minimum(960, 620), preferred(1280, 820);
    const QMargins decorations(2, 28, 2, 2);
    const struct {
        std::optional<QRect> saved;
        std::vector<QRect> screens;
        QRect placed;
    } cases[] = {
        // Saved at the top of a small screen: the title bar comes down onto it, on any screen.
        {QRect(0, 0, 1024, 640), {small}, QRect(2, 28, 1020, 620)},
        {QRect(0, 0, 1024, 640), {large}, QRect(2, 28, 1024, 640)},
        // A large frame on a small screen shrinks, never below the minimum: only the bottom hangs out.
        {QRect(100, 80, 1400, 860), {small}, QRect(2, 28, 1020, 620)},
        {QRect(100, 80, 1400, 860), {large}, QRect(100, 80, 1400, 860)},
        {std::nullopt, {small}, QRect(2, 28, 1020, 620)},
        // The close button at the right end stays on the screen too.
        {QRect(1000, 100, 1000, 700), {large}, QRect(598, 100, 1000, 700)},
        {QRect(1442, 100, 1000, 700), {large}, QRect(598, 100, 1000, 700)},  // 160 px of title bar showed
        // Reachable while 40 rows of title bar and content show; one fewer and it is centred.
        {QRect(100, -20, 1000, 700), {large}, QRect(100, 28, 1000, 700)},
        {QRect(100, -21, 1000, 700), {large}, QRect(160, 103, 1280, 820)},
        {std::nullopt, {}, QRect(2, 28, 1280, 820)},
        // The top of the second screen, below the first: its title bar goes on the screen it belongs to.
        {QRect(100, 1080, 1000, 700), {QRect(0, 0, 1920, 1080), below}, QRect(100, 1108, 1000, 700)},
        {QRect(100, 1150, 1000, 700), {QRect(0, 0, 1920, 1080), below}, QRect(100, 1150, 1000, 700)},
        // A panel along the top: the available area starts below it.
        {QRect(50, 20, 1000, 700), {QRect(0, 40, 1600, 960)}, QRect(50, 68, 1000, 700)},
    };
    for (const auto& c : cases) {
        const QRect placed = MainWindow::placement(c.saved, c.screens, minimum, preferred, decorations);
        EXPECT_EQ(placed, c.placed) << (c.saved ? c.saved->x() : -1) << "," << (c.saved ? c.saved->y() : -1) << " on "
                                    << c.screens.size() << " screens";
    }
}

struct MainWindowTest : ::testing::Test {
    QTemporaryDir dir;
    NotificationCenter notifications;
    korvalen::testing::FakeBenchmarkEngine engine;
    int quits = 0;

    void SetUp() override { korvalen::test::qtApp(true); }

    std::unique_ptr<BenchmarkStore> makeStore()
    {
        return std::make_unique<BenchmarkStore>(
            engine.storeServices(notifications, dir.path(), dir.path() + "/settings.conf"));
    }
    Settings settings() { return Settings(dir.path() + "/settings.conf"); }
};

TEST_F(MainWindowTest, FrameIsSavedHalfASecondAfterAMoveAndRestoredNextTime)
{
    auto store = makeStore();
    KorvalenAIAppDelegate delegate(notifications, [this] { ++quits; });
    {
        MainWindow window(*store, delegate, settings());
        window.restoreFrameAndShow();
        EXPECT_GE(window.width(), 960);
        EXPECT_GE(window.height(), 620);
        EXPECT_FALSE(settings().contains(Settings::Key::mainWindowHasSavedFrame)) << "placing is not moving";

        window.setGeometry(QRect(40, 30, 1000, 640));
        EXPECT_TRUE(window.frameSavePending());
        EXPECT_FALSE(settings().contains(Settings::Key::mainWindowFrame));
        ASSERT_TRUE(processEventsUntil([&] { return !window.frameSavePending(); }, std::chrono::seconds(3)));
        EXPECT_EQ(settings().boolValue(Settings::Key::mainWindowHasSavedFrame), true);
        EXPECT_EQ(Settings::parseRect(*settings().stringValue(Settings::Key::mainWindowFrame)), window.geometry());
    }
    Settings written = settings();
    written.setString(Settings::Key::mainWindowFrame, Settings::rectText(QRect(20, 10, 980, 630)));
    written.sync();
    MainWindow again(*store, delegate, settings());
    again.restoreFrameAndShow();
    // The height comes back as saved; the width too unless the screen is narrower (the offscreen
    // screen is), then the window is fitted to it but never below the minimum.
    const int screenWidth = QGuiApplication::primaryScreen()->availableGeometry().width();
    EXPECT_EQ(again.geometry().top(), 10);
    EXPECT_EQ(again.geometry().height(), 630);
    EXPECT_EQ(again.geometry().width(), std::clamp(screenWidth, 960, 980));
}

TEST_F(MainWindowTest, ClosingTheWindowIsAQuitRequestThatWaitsForARun)
{
    auto store = makeStore();
    KorvalenAIAppDelegate delegate(notifications, [this] { ++quits; });
    MainWindow window(*store, delegate, settings());
    window.restoreFrameAndShow();

    engine.holdItems(true);
    store->start();
    ASSERT_TRUE(processEventsUntil([&] { return engine.itemsStarted() == 1; }));
    EXPECT_FALSE(window.close()) << "the window stays while the run stops";
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(delegate.terminationPending());
    ASSERT_TRUE(processEventsUntil([&] { return quits == 1; }));

    // With nothing running, closing quits at once.
    KorvalenAIAppDelegate fresh(notifications, [this] { ++quits; });
    MainWindow second(*store, fresh, settings());
    second.restoreFrameAndShow();
    EXPECT_TRUE(second.close());
    EXPECT_EQ(quits, 2);
}

TEST_F(MainWindowTest, CtrlPeriodStopsARunWhileItsSceneWindowIsTheActiveWindow)
{
    auto store = makeStore();
    KorvalenAIAppDelegate delegate(notifications, [this] { ++quits; });
    MainWindow window(*store, delegate, settings());
    window.restoreFrameAndShow();
    store->setSelectedBackend(AIBackend::cpu);
    store->setShowLiveVisualizations(true);

    engine.holdItems(true);
    store->start();
    ASSERT_TRUE(processEventsUntil([&] { return engine.itemsStarted() == 1; }));
    AIVisualizationWindowController* scene = store->visualization().controller();
    ASSERT_TRUE(scene && scene->window() && scene->window()->isVisible());
    QWindow* sceneWindow = scene->window()->windowHandle();
    ASSERT_TRUE(processEventsUntil([&] { return QGuiApplication::focusWindow() == sceneWindow; }))
        << "the scene window is made the active window as it opens";
    const QString stopKeys = SidebarView::stopShortcut().toString(QKeySequence::NativeText);
    const QString startKeys = SidebarView::startShortcut().toString(QKeySequence::NativeText);
    bool named = false;
    for (const QWidget* panel : scene->window()->findChildren<QWidget*>())
        named = named || (panel->toolTip().contains(stopKeys) && panel->toolTip().contains(startKeys));
    EXPECT_TRUE(named) << "the scene window names the keys that work from it";

    qt_handleKeyEvent(sceneWindow, QEvent::KeyPress, Qt::Key_Period, Qt::ControlModifier);
    EXPECT_TRUE(std::holds_alternative<AIRunState::Stopping>(store->runState().value));
    engine.holdItems(false);
    ASSERT_TRUE(processEventsUntil([&] { return !store->isBusy() && !store->hasActiveRunTask(); }));
    EXPECT_TRUE(store->currentSession()->cancelled);
}

TEST_F(MainWindowTest, TerminationSignalsBecomeQuitRequests)
{
    QuitSignalBridge bridge;
    ASSERT_TRUE(bridge.isInstalled());
    std::vector<int> received;
    QObject::connect(&bridge, &QuitSignalBridge::quitRequested, [&](int number) { received.push_back(number); });
    std::raise(SIGTERM);
    std::raise(SIGINT);
    ASSERT_TRUE(processEventsUntil([&] { return received.size() == 2; }));
    EXPECT_EQ(received, (std::vector<int>{SIGTERM, SIGINT}));
}

}  // namespace
