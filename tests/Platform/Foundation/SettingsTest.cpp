#include "Platform/Foundation/Settings.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

using namespace korvalen;

namespace {

TEST(Settings, ValuesPersistUnderTheirKeysAcrossInstances)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("settings.conf");
    {
        Settings settings(path);
        EXPECT_FALSE(settings.boolValue(Settings::Key::showLiveVisualizations).has_value());
        EXPECT_TRUE(settings.boolValue(Settings::Key::showLiveVisualizations, true));
        settings.setBool(Settings::Key::showLiveVisualizations, false);
        settings.setString(Settings::Key::mainWindowFrame, Settings::rectText(QRect(10, 20, 960, 620)));
        settings.sync();
    }
    Settings reopened(path);
    EXPECT_EQ(reopened.boolValue(Settings::Key::showLiveVisualizations), false);
    EXPECT_EQ(Settings::parseRect(*reopened.stringValue(Settings::Key::mainWindowFrame)), QRect(10, 20, 960, 620));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("KorvalenAIShowLiveVisualizations=false"));
}

TEST(Settings, DamagedBooleanReadsAsAbsent)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("settings.conf");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[General]\nKorvalenAIShowLiveVisualizations=maybe\nKorvalenAIMainWindowHasSavedFrame=1\n");
    file.close();
    Settings settings(path);
    EXPECT_FALSE(settings.boolValue(Settings::Key::showLiveVisualizations).has_value());
    EXPECT_EQ(settings.boolValue(Settings::Key::mainWindowHasSavedFrame), true);
}

TEST(Settings, RectangleTextRoundTripsAndRejectsNonsense)
{
    EXPECT_EQ(Settings::rectText(QRect(-40, 25, 1200, 800)), "{{-40, 25}, {1200, 800}}");
    EXPECT_EQ(Settings::parseRect("{{-40, 25}, {1200, 800}}"), QRect(-40, 25, 1200, 800));
    EXPECT_EQ(Settings::parseRect("{{100.5, 50}, {960.0, 620}}"), QRect(100, 50, 960, 620));
    for (const char* bad :
         {"", "{{1, 2}, {0, 5}}", "{{1, 2}, {3}}", "1,2,3,4", "{{a, 2}, {3, 4}}", "{{1, 2}, {-3, 4}}"})
        EXPECT_FALSE(Settings::parseRect(bad).has_value()) << bad;
}

}  // namespace
