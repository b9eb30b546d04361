#pragma once

// Collects what KorvalenAILogger writes while it lives, keeping standard error quiet.

#include "Model/KorvalenAILogger.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace korvalen::testing {

class LogCapture {
public:
    LogCapture()
    {
        quiet_ = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        previous_ = KorvalenAILogger::setOutputFileDescriptor(quiet_);
        KorvalenAILogger::setSystemLogSink([this](const KorvalenAILogger::SystemLogEntry& entry) {
            std::lock_guard lock(mutex_);
            messages_.emplace_back(entry.message);
        });
    }
    ~LogCapture()
    {
        KorvalenAILogger::setSystemLogSink({});
        KorvalenAILogger::setOutputFileDescriptor(previous_);
        if (quiet_ >= 0) ::close(quiet_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> messages() const
    {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    bool contains(const std::string& message) const
    {
        auto all = messages();
        return std::find(all.begin(), all.end(), message) != all.end();
    }
    // Messages that begin with the event word.
    std::vector<std::string> events(const std::string& word) const
    {
        std::vector<std::string> found;
        for (const auto& m : messages()) {
            if (m.rfind(word, 0) == 0) found.push_back(m);
        }
        return found;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> messages_;
    int quiet_ = -1;
    int previous_ = 2;
};

}  // namespace korvalen::testing
