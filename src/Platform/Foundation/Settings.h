#pragma once

#include <QRect>
#include <QString>

#include <memory>
#include <optional>

class QSettings;

namespace korvalen {

// The application's user settings over QSettings. Keys are the stored names, exactly as other
// versions of the application write them. Copies share one store; use it on the main thread.
class Settings {
public:
    struct Key {
        static constexpr const char* showLiveVisualizations = "KorvalenAIShowLiveVisualizations";
        static constexpr const char* mainWindowFrame = "KorvalenAIMainWindowFrame";
        static constexpr const char* mainWindowHasSavedFrame = "KorvalenAIMainWindowHasSavedFrame";
        static constexpr const char* assistantProvider = "KorvalenAIAssistantProvider";
        static constexpr const char* assistantEndpoint = "KorvalenAIAssistantEndpoint";
        static constexpr const char* assistantModel = "KorvalenAIAssistantModel";
        static constexpr const char* privacyDisclosureAccepted = "KorvalenOnlinePrivacyDisclosureAcceptedV1";
        static constexpr const char* resultsBaseURLOverride = "KorvalenResultsBaseURLOverride";
        static constexpr const char* managedModel = "KorvalenAIManagedModel";
        static constexpr const char* customLlamaServerPath = "KorvalenAICustomLlamaServerPath";
    };

    // The user's own settings file (~/.config/Korvalen AI/Korvalen AI.ini).
    Settings();
    // A settings file of its own, for tests and tools.
    explicit Settings(const QString& filePath);

    bool contains(const char* key) const;
    void remove(const char* key);

    // Absent, or a value that is not a boolean, reads as no value.
    std::optional<bool> boolValue(const char* key) const;
    bool boolValue(const char* key, bool fallback) const { return boolValue(key).value_or(fallback); }
    void setBool(const char* key, bool value);

    std::optional<QString> stringValue(const char* key) const;
    void setString(const char* key, const QString& value);

    // Writes pending changes to disk now (QSettings also does so on its own, and when destroyed).
    void sync();
    QString filePath() const;

    // A window frame as the rectangle text "{{x, y}, {width, height}}".
    static QString rectText(const QRect& rect);
    static std::optional<QRect> parseRect(const QString& text);

private:
    std::shared_ptr<QSettings> settings_;
};

}  // namespace korvalen
