#include "State/SessionPersistence.h"

#include "Model/AIRecordsJSON.h"
#include "Model/KorvalenAILogger.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <nlohmann/json.hpp>

#include <exception>
#include <string>

namespace korvalen {

namespace {

enum class FileState { missing, unreadable, malformed, array };

struct FileContents {
    FileState state = FileState::missing;
    QByteArray bytes;
    nlohmann::json json;
};

FileContents readHistoryFile(const QString& path)
{
    FileContents contents;
    if (!QFileInfo::exists(path))
        return contents;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        contents.state = FileState::unreadable;
        return contents;
    }
    contents.bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        contents.state = FileState::unreadable;
        return contents;
    }
    contents.json = nlohmann::json::parse(contents.bytes.constBegin(), contents.bytes.constEnd(), nullptr, false);
    contents.state = contents.json.is_array() ? FileState::array : FileState::malformed;
    return contents;
}

std::string text(const QString& s) { return s.toStdString(); }

struct Decoded {
    std::vector<AIBenchmarkSession> sessions;
    int skipped = 0;
};

// One session at a time, so that one bad entry costs only itself.
Decoded decodeSessions(const nlohmann::json& array, const QString& path)
{
    Decoded decoded;
    for (std::size_t i = 0; i < array.size(); ++i) {
        try {
            decoded.sessions.push_back(sessionFromJSON(array[i], "[" + std::to_string(i) + "]"));
        } catch (const std::exception& e) {
            ++decoded.skipped;
            KorvalenAILogger::warning("HISTORY_SESSION_SKIPPED file=" + text(QFileInfo(path).fileName())
                                      + " index=" + std::to_string(i) + " reason=" + e.what());
        }
    }
    return decoded;
}

bool writeAtomically(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

}  // namespace

QString SessionPersistence::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Korvalen AI";
}

SessionPersistence::SessionPersistence(QString folder) : folder_(std::move(folder)) {}

QString SessionPersistence::historyPath() const { return folder_ + "/history.json"; }
QString SessionPersistence::backupPath() const { return folder_ + "/history.backup.json"; }
QString SessionPersistence::corruptPath() const { return folder_ + "/history.corrupt.json"; }

QString SessionPersistence::quarantine(const QString& path, bool keepOriginal)
{
    // An earlier quarantined file is evidence too: never replace it, take a dated name instead.
    QString target = corruptPath();
    if (QFileInfo::exists(target)) {
        const QString stamp = QDateTime::currentDateTimeUtc().toString("yyyyMMdd-HHmmss-zzz");
        target = folder_ + "/history.corrupt-" + stamp + ".json";
        for (int n = 2; QFileInfo::exists(target); ++n)
            target = folder_ + "/history.corrupt-" + stamp + "-" + QString::fromStdString(std::to_string(n)) + ".json";
    }
    const bool done = keepOriginal ? QFile::copy(path, target) : QFile::rename(path, target);
    if (!done) {
        KorvalenAILogger::error("HISTORY_QUARANTINE_FAILED file=" + text(path) + " target=" + text(target));
        return {};
    }
    KorvalenAILogger::warning("HISTORY_QUARANTINED file=" + text(QFileInfo(path).fileName()) + " target="
                              + text(target) + (keepOriginal ? " mode=copy" : " mode=move"));
    return target;
}

SessionPersistence::LoadReport SessionPersistence::loadReport()
{
    LoadReport report;
    const QString path = historyPath();
    FileContents main = readHistoryFile(path);

    if (main.state == FileState::array) {
        Decoded decoded = decodeSessions(main.json, path);
        report.sessions = std::move(decoded.sessions);
        report.skippedSessions = decoded.skipped;
        // The next save would drop what could not be read: keep the file as it is first.
        if (decoded.skipped > 0)
            report.quarantinedTo = quarantine(path, true);
    } else if (main.state != FileState::missing) {
        KorvalenAILogger::error("HISTORY_UNREADABLE file=" + text(path)
                                + (main.state == FileState::malformed ? " reason=malformed" : " reason=io"));
        if (main.state == FileState::malformed)
            report.quarantinedTo = quarantine(path, false);
        // The previous good file is the best there is now.
        FileContents backup = readHistoryFile(backupPath());
        if (backup.state == FileState::array) {
            Decoded decoded = decodeSessions(backup.json, backupPath());
            report.sessions = std::move(decoded.sessions);
            report.skippedSessions = decoded.skipped;
            report.fromBackup = true;
            KorvalenAILogger::warning("HISTORY_RESTORED_FROM_BACKUP sessions=" + std::to_string(report.sessions.size()));
            // Put the restored history back in place, or the next launch would find no file and
            // show an empty history although the backup is still there.
            if (main.state == FileState::malformed && !report.quarantinedTo.isEmpty()
                && !writeAtomically(path, backup.bytes))
                KorvalenAILogger::warning("HISTORY_RESTORE_WRITE_FAILED path=" + text(path));
        }
    }

    if (report.sessions.size() > static_cast<std::size_t>(historyLimit))
        report.sessions.resize(historyLimit);
    KorvalenAILogger::info("HISTORY_LOADED sessions=" + std::to_string(report.sessions.size())
                           + " skipped=" + std::to_string(report.skippedSessions));
    return report;
}

bool SessionPersistence::save(const std::vector<AIBenchmarkSession>& sessions)
{
    if (!QDir().mkpath(folder_)) {
        KorvalenAILogger::error("HISTORY_SAVE_FAILED reason=folder path=" + text(folder_));
        return false;
    }

    QByteArray bytes;
    try {
        const std::string json = toJSON(sessions).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        bytes = QByteArray(json.data(), static_cast<qsizetype>(json.size()));
    } catch (const std::exception& e) {
        KorvalenAILogger::error(std::string("HISTORY_SAVE_FAILED reason=encode detail=") + e.what());
        return false;
    }

    const QString path = historyPath();
    const FileContents current = readHistoryFile(path);
    switch (current.state) {
    case FileState::missing:
        break;
    case FileState::array:
        if (!writeAtomically(backupPath(), current.bytes))
            KorvalenAILogger::warning("HISTORY_BACKUP_FAILED path=" + text(backupPath()));
        break;
    case FileState::malformed:
        // Never write over a file that could not be read: it may be all that is left of the history.
        if (quarantine(path, false).isEmpty()) {
            KorvalenAILogger::error("HISTORY_SAVE_FAILED reason=unreadable-file-in-place");
            return false;
        }
        break;
    case FileState::unreadable:
        KorvalenAILogger::error("HISTORY_SAVE_FAILED reason=unreadable-file-in-place");
        return false;
    }

    if (!writeAtomically(path, bytes)) {
        KorvalenAILogger::error("HISTORY_SAVE_FAILED reason=write path=" + text(path));
        return false;
    }
    KorvalenAILogger::info("HISTORY_SAVED sessions=" + std::to_string(sessions.size()));
    return true;
}

}  // namespace korvalen
