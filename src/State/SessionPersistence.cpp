#include "State/SessionPersistence.h"

#include "Model/AIRecordsJSON.h"
#include "Model/KorvalenAILogger.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <nlohmann/json.hpp>

#include <atomic>
#include <cerrno>
#include <exception>
#include <optional>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    if (!QFileInfo::exists(path)) return contents;
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

std::string text(const QString& s)
{
    return s.toStdString();
}

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
            KorvalenAILogger::warning("HISTORY_SESSION_SKIPPED file=" + text(QFileInfo(path).fileName()) +
                                      " index=" + std::to_string(i) + " reason=" + e.what());
        }
    }
    return decoded;
}

std::optional<SessionPersistence::FileIdentity> identityOf(const QString& path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return std::nullopt;
    return SessionPersistence::FileIdentity{
        static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
        static_cast<std::int64_t>(st.st_size),
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

void syncFolder(const QString& folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

const char* temporaryMarker = ".tmp-";

// Hidden, beside the target (a rename must not cross file systems), unique within the process.
QString temporaryPathFor(const QString& path)
{
    static std::atomic<unsigned> counter{0};
    const QFileInfo info(path);
    return info.absolutePath() + "/." + info.fileName() + temporaryMarker + QString::number(::getpid()) + "-" +
           QString::number(counter.fetch_add(1));
}

// Written in full and flushed to disk before the rename makes it the file: a crash at any point
// leaves the old file or the new one, whole.
bool writeAtomically(const QString& path, const char* data, std::size_t size)
{
    const QByteArray temporary = QFile::encodeName(temporaryPathFor(path));
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool ok = true;
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    if (ok && ::fdatasync(fd) != 0) ok = false;
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0) ok = false;
    if (!ok) {
        ::unlink(temporary.constData());
        return false;
    }
    syncFolder(QFileInfo(path).absolutePath());
    return true;
}

bool writeAtomically(const QString& path, const QByteArray& bytes)
{
    return writeAtomically(path, bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

bool sameContents(const QString& a, const QString& b)
{
    QFile fa(a), fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size()) return false;
    constexpr qint64 chunk = 1 << 20;
    while (!fa.atEnd()) {
        const QByteArray x = fa.read(chunk), y = fb.read(chunk);
        if (x.isEmpty() || x != y) return false;
    }
    return fb.atEnd();
}

}  // namespace

QString SessionPersistence::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Korvalen AI";
}

SessionPersistence::SessionPersistence(QString folder) : folder_(std::move(folder))
{}

QString SessionPersistence::historyPath() const
{
    return folder_ + "/history.json";
}
QString SessionPersistence::backupPath() const
{
    return folder_ + "/history.backup.json";
}
QString SessionPersistence::corruptPath() const
{
    return folder_ + "/history.corrupt.json";
}

bool SessionPersistence::isKnown(const KnownFile& known, const QString& path, Known what) const
{
    return known.what == what && identityOf(path) == known.identity;
}

QString SessionPersistence::quarantine(const QString& path, bool keepOriginal)
{
    // A file that stays unreadable is seen at every launch until a save replaces it: the same
    // content is kept aside once.
    const QFileInfo source(path);
    const QFileInfoList earlier = QDir(folder_).entryInfoList({"history.corrupt*.json"}, QDir::Files, QDir::Name);
    for (const QFileInfo& candidate : earlier) {
        if (candidate.size() != source.size() || !sameContents(candidate.absoluteFilePath(), path)) continue;
        if (!keepOriginal && !QFile::remove(path)) {
            KorvalenAILogger::error("HISTORY_QUARANTINE_FAILED file=" + text(path) + " reason=remove");
            return {};
        }
        KorvalenAILogger::info("HISTORY_ALREADY_QUARANTINED file=" + text(source.fileName()) +
                               " target=" + text(candidate.absoluteFilePath()));
        return candidate.absoluteFilePath();
    }

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
    KorvalenAILogger::warning("HISTORY_QUARANTINED file=" + text(source.fileName()) + " target=" + text(target) +
                              (keepOriginal ? " mode=copy" : " mode=move"));
    return target;
}

SessionPersistence::LoadReport SessionPersistence::loadReport()
{
    std::lock_guard lock(mutex_);
    LoadReport report;
    main_ = {};
    backup_ = {};

    // One instance owns the folder: a temporary file here is what a killed save left behind.
    const QStringList leftovers =
        QDir(folder_).entryList({QString(".history*") + temporaryMarker + "*"}, QDir::Files | QDir::Hidden);
    for (const QString& name : leftovers) QFile::remove(folder_ + "/" + name);

    const QString path = historyPath();
    FileContents main = readHistoryFile(path);
    std::optional<Decoded> fromMain;
    if (main.state == FileState::array) {
        fromMain = decodeSessions(main.json, path);
        if (fromMain->skipped == 0) {
            main_ = {Known::good, identityOf(path).value_or(FileIdentity{})};
            report.sessions = std::move(fromMain->sessions);
        }
    } else if (main.state != FileState::missing) {
        KorvalenAILogger::error("HISTORY_UNREADABLE file=" + text(path) +
                                (main.state == FileState::malformed ? " reason=malformed" : " reason=io"));
    }
    main.json = nlohmann::json();

    const bool mainIsWhole = main_.what == Known::good;
    if (!mainIsWhole && main.state != FileState::missing) {
        // The main file is not whole: the backup may hold more of the history.
        FileContents backup = readHistoryFile(backupPath());
        std::optional<Decoded> fromBackup;
        if (backup.state == FileState::array) {
            fromBackup = decodeSessions(backup.json, backupPath());
        } else if (backup.state == FileState::malformed) {
            KorvalenAILogger::error("HISTORY_UNREADABLE file=" + text(backupPath()) + " reason=malformed");
            report.backupQuarantinedTo = quarantine(backupPath(), false);
        }
        const bool useBackup = fromBackup && (!fromMain || fromBackup->sessions.size() > fromMain->sessions.size());

        // Whatever is shown, the main file's content is kept before anything can write over it.
        if (main.state == FileState::malformed) {
            report.quarantinedTo = quarantine(path, false);
        } else if (main.state == FileState::array) {
            report.quarantinedTo = quarantine(path, true);
            if (!report.quarantinedTo.isEmpty()) main_ = {Known::keptAside, identityOf(path).value_or(FileIdentity{})};
        }

        if (useBackup) {
            report.sessions = std::move(fromBackup->sessions);
            report.skippedSessions = fromBackup->skipped;
            report.fromBackup = true;
            if (fromBackup->skipped == 0) backup_ = {Known::good, identityOf(backupPath()).value_or(FileIdentity{})};
            KorvalenAILogger::warning("HISTORY_RESTORED_FROM_BACKUP sessions=" +
                                      std::to_string(report.sessions.size()));
            // Put the restored history back in place, or the next launch would find no file and
            // show an empty history although the backup is still there.
            if (main.state == FileState::malformed && !report.quarantinedTo.isEmpty()) {
                if (writeAtomically(path, backup.bytes))
                    main_ = {fromBackup->skipped == 0 ? Known::good : Known::keptAside,
                             identityOf(path).value_or(FileIdentity{})};
                else
                    KorvalenAILogger::warning("HISTORY_RESTORE_WRITE_FAILED path=" + text(path));
            }
        } else if (fromMain) {
            report.sessions = std::move(fromMain->sessions);
            report.skippedSessions = fromMain->skipped;
        }
    }

    if (report.sessions.size() > static_cast<std::size_t>(historyLimit)) report.sessions.resize(historyLimit);
    KorvalenAILogger::info("HISTORY_LOADED sessions=" + std::to_string(report.sessions.size()) +
                           " skipped=" + std::to_string(report.skippedSessions));
    return report;
}

bool SessionPersistence::putBackupAsideIfNeeded(QString& setAsideTo)
{
    const QString path = backupPath();
    if (!QFileInfo::exists(path) || isKnown(backup_, path, Known::good)) return true;
    const FileContents backup = readHistoryFile(path);
    if (backup.state == FileState::array && decodeSessions(backup.json, path).skipped == 0) return true;
    // Not readable in full: it may be all that is left of older runs.
    setAsideTo = quarantine(path, false);
    return !setAsideTo.isEmpty();
}

bool SessionPersistence::replaceBackupWithMain()
{
    const QString backup = backupPath();
    const QByteArray temporary = QFile::encodeName(temporaryPathFor(backup));
    // A second name for the current file costs no copy; the new file then replaces only the
    // main name, and the backup keeps the old content.
    bool done = false;
    if (::link(QFile::encodeName(historyPath()).constData(), temporary.constData()) == 0) {
        done = ::rename(temporary.constData(), QFile::encodeName(backup).constData()) == 0;
        if (!done)
            ::unlink(temporary.constData());
        else
            syncFolder(folder_);
    } else {
        // A file system without hard links.
        QFile current(historyPath());
        done = current.open(QIODevice::ReadOnly) && writeAtomically(backup, current.readAll());
    }
    backup_ = done ? KnownFile{Known::good, identityOf(backup).value_or(FileIdentity{})} : KnownFile{};
    return done;
}

SessionPersistence::SaveReport SessionPersistence::saveReport(const std::vector<AIBenchmarkSession>& sessions)
{
    std::lock_guard lock(mutex_);
    SaveReport report;
    if (!QDir().mkpath(folder_)) {
        KorvalenAILogger::error("HISTORY_SAVE_FAILED reason=folder path=" + text(folder_));
        return report;
    }

    std::string json;
    try {
        json = toJSON(sessions).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const std::exception& e) {
        KorvalenAILogger::error(std::string("HISTORY_SAVE_FAILED reason=encode detail=") + e.what());
        return report;
    }

    const QString path = historyPath();
    if (!isKnown(main_, path, Known::good) && !isKnown(main_, path, Known::keptAside)) {
        // Not known from loading or the last save, or changed on disk since: look at it now.
        const FileContents current = readHistoryFile(path);
        switch (current.state) {
        case FileState::missing: main_ = {}; break;
        case FileState::array:
            if (decodeSessions(current.json, path).skipped == 0) {
                main_ = {Known::good, identityOf(path).value_or(FileIdentity{})};
                break;
            }
            report.quarantinedTo = quarantine(path, true);
            if (report.quarantinedTo.isEmpty()) {
                KorvalenAILogger::error("HISTORY_SAVE_FAILED reason=unreadable-sessions-in-place");
                return report;
            }
            main_ = {Known::keptAside, identityOf(path).value_or(FileIdentity{})};
            break;
        case FileState::malformed:
            // Never write over a file that could not be read: it may be all that is left of the history.
            report.quarantinedTo = quarantine(path, false);
            if (report.quarantinedTo.isEmpty()) {
                KorvalenAILogger::error("HISTORY_SAVE_FAILED reason=unreadable-file-in-place");
                return report;
            }
            main_ = {};
            break;
        case FileState::unreadable:
            KorvalenAILogger::error("HISTORY_SAVE_FAILED reason=unreadable-file-in-place");
            return report;
        }
    }

    // Only a file whose every session reads back becomes the backup.
    if (main_.what == Known::good) {
        if (!putBackupAsideIfNeeded(report.backupQuarantinedTo))
            KorvalenAILogger::warning("HISTORY_BACKUP_SKIPPED reason=unreadable-backup-in-place");
        else if (!replaceBackupWithMain())
            KorvalenAILogger::warning("HISTORY_BACKUP_FAILED path=" + text(backupPath()));
    }

    if (!writeAtomically(path, json.data(), json.size())) {
        KorvalenAILogger::error("HISTORY_SAVE_FAILED reason=write path=" + text(path));
        return report;
    }
    main_ = {Known::good, identityOf(path).value_or(FileIdentity{})};
    KorvalenAILogger::info("HISTORY_SAVED sessions=" + std::to_string(sessions.size()));
    report.saved = true;
    return report;
}

}  // namespace korvalen
