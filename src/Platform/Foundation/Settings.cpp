#include "Platform/Foundation/Settings.h"

#include <QRegularExpression>
#include <QSettings>

#include <string>

namespace korvalen {

Settings::Settings()
    : settings_(std::make_shared<QSettings>(QSettings::IniFormat, QSettings::UserScope, "Korvalen AI", "Korvalen AI"))
{}

Settings::Settings(const QString& filePath) : settings_(std::make_shared<QSettings>(filePath, QSettings::IniFormat))
{}

bool Settings::contains(const char* key) const
{
    return settings_->contains(key);
}

void Settings::remove(const char* key)
{
    settings_->remove(key);
}

std::optional<bool> Settings::boolValue(const char* key) const
{
    const QVariant value = settings_->value(key);
    if (!value.isValid()) return std::nullopt;
    if (value.typeId() == QMetaType::Bool) return value.toBool();
    // The ini format hands booleans back as text; anything but a clear yes or no is no value,
    // so a damaged entry falls back to the default instead of reading as true.
    const QString text = value.toString().trimmed().toLower();
    if (text == "true" || text == "1") return true;
    if (text == "false" || text == "0") return false;
    return std::nullopt;
}

void Settings::setBool(const char* key, bool value)
{
    settings_->setValue(key, value);
}

std::optional<QString> Settings::stringValue(const char* key) const
{
    const QVariant value = settings_->value(key);
    if (!value.isValid() || !value.canConvert<QString>()) return std::nullopt;
    return value.toString();
}

void Settings::setString(const char* key, const QString& value)
{
    settings_->setValue(key, value);
}

void Settings::sync()
{
    settings_->sync();
}

QString Settings::filePath() const
{
    return settings_->fileName();
}

QString Settings::rectText(const QRect& rect)
{
    // Whole numbers only, so the text is the same under every locale.
    const std::string text = "{{" + std::to_string(rect.x()) + ", " + std::to_string(rect.y()) + "}, {" +
                             std::to_string(rect.width()) + ", " + std::to_string(rect.height()) + "}}";
    return QString::fromStdString(text);
}

std::optional<QRect> Settings::parseRect(const QString& text)
{
    static const QRegularExpression pattern(
        R"(^\s*\{\s*\{\s*(-?\d+(?:\.\d+)?)\s*,\s*(-?\d+(?:\.\d+)?)\s*\}\s*,\s*\{\s*(\d+(?:\.\d+)?)\s*,\s*(\d+(?:\.\d+)?)\s*\}\s*\}\s*$)");
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch()) return std::nullopt;
    double v[4];
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        v[i] = match.captured(i + 1).toDouble(&ok);  // QString::toDouble always reads a full stop
        if (!ok || v[i] > 1e6 || v[i] < -1e6) return std::nullopt;
    }
    if (v[2] < 1 || v[3] < 1) return std::nullopt;
    return QRect(static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]), static_cast<int>(v[3]));
}

}  // namespace korvalen
