#include "Views/ViewText.h"

#include "Model/SystemProfiler.h"

namespace korvalen {

namespace {

bool onProcessor(std::optional<std::uint64_t> registryID)
{
    return registryID && SystemProfiler::isProcessorDevice(*registryID);
}

}  // namespace

std::string countText(std::size_t count, std::string_view singular, std::string_view plural)
{
    return std::to_string(count) + " " + std::string(count == 1 ? singular : plural);
}

QString breakableText(const QString& text)
{
    constexpr qsizetype longWord = 24;
    QString shown;
    shown.reserve(text.size() + text.size() / 4);
    qsizetype wordStart = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !text[i].isSpace()) continue;
        const QStringView word = QStringView(text).mid(wordStart, i - wordStart);
        if (word.size() >= longWord) {
            for (qsizetype k = 0; k < word.size(); ++k) {
                shown += word[k];
                const bool breakAfter = word[k] == u'-' || word[k] == u'_' || word[k] == u'.' || word[k] == u'/';
                if (breakAfter && k + 1 < word.size()) shown += QChar(0x200B);
            }
        } else {
            shown += word;
        }
        if (i < text.size()) shown += text[i];
        wordStart = i + 1;
    }
    return shown;
}

std::string gpuDeviceName(const std::string& name, std::optional<std::uint64_t> registryID)
{
    return onProcessor(registryID) ? "OpenCL on CPU" : name;
}

std::string gpuDeviceDescription(const std::string& name, std::optional<std::uint64_t> registryID)
{
    return onProcessor(registryID) ? "OpenCL on the processor (" + name + ")" : name;
}

}  // namespace korvalen
