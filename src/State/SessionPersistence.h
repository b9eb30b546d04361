#pragma once

#include "Model/AIRecords.h"
#include "State/HistoryFiles.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

namespace korvalen {

// The session history on disk: "history.json", a JSON array of sessions, newest first, in the
// application data folder, with "history.backup.json" (the previous good file) beside it.
//
// Nothing the user ran is ever thrown away by this class: a file that cannot be read, or of which
// some sessions cannot be decoded, is put aside as "history.corrupt.json" (or a dated name when
// that is taken) before anything is written over it, and the same content is put aside only once.
// A main file changed on disk by another program that holds sessions the save would drop is copied
// aside the same way, as "history.changed-<date>.json". Only a file whose every session reads back
// becomes the backup.
//
// load() runs once at launch; save() may run on a worker thread (saves are serialised). What
// loading learned about the files is remembered, so a save does not read them again unless they
// changed on disk since.
class SessionPersistence {
public:
    static constexpr int historyLimit = 20;

    struct LoadReport {
        std::vector<AIBenchmarkSession> sessions;
        int skippedSessions = 0;      // entries of the chosen file that did not decode
        bool fromBackup = false;      // the backup held more readable sessions than the main file
        bool mainMissing = false;     // with fromBackup: there was no main file at all
        QString quarantinedTo;        // where the main file's content is kept aside, if it had to be
        QString backupQuarantinedTo;  // where an unreadable backup was put aside, if it was
        QString unreadable;           // why the main file could not be read at all, if it could not
    };

    // GenericDataLocation + "/Korvalen AI" (~/.local/share/Korvalen AI).
    static QString defaultFolder();

    // `files`: what changes the folder; none means the real file system calls.
    explicit SessionPersistence(QString folder = defaultFolder(), std::shared_ptr<HistoryFiles> files = {});

    const QString& folder() const { return folder_; }
    QString historyPath() const;
    QString backupPath() const;
    QString corruptPath() const;

    std::vector<AIBenchmarkSession> load() { return loadReport().sessions; }
    LoadReport loadReport();

    // Writes the list atomically (written, flushed to disk, then renamed into place); the previous
    // file becomes the backup when all its sessions read back. False, with a log line, when the
    // folder or file cannot be written, and then history.json and the backup are as they were; a
    // file in the way that cannot be read is put aside first and never overwritten.
    bool save(const std::vector<AIBenchmarkSession>& sessions) { return saveReport(sessions).saved; }

    struct SaveReport {
        bool saved = false;
        QString quarantinedTo;        // an unreadable main file found in the way, put aside first
        QString backupQuarantinedTo;  // an unreadable backup, put aside before being replaced
        // A main file changed on disk since it was loaded or saved, holding sessions the new list
        // does not: copied aside under a dated name, and neither written over nor made the backup.
        QString changedKeptAs;
    };
    SaveReport saveReport(const std::vector<AIBenchmarkSession>& sessions);

    // How a history text reads, exactly as one parse of the whole text and a decoding of each of
    // its elements would read it: the sessions that decode, in order, and how many did not;
    // nothing when the text is not a JSON array.
    struct TextReading {
        std::vector<AIBenchmarkSession> sessions;
        int skipped = 0;
    };
    static std::optional<TextReading> readText(std::string_view text);

    // Identity of a file on disk: same device, inode, size and modification time as when looked at,
    // of the file the name leads to, and whether the name itself is a symbolic link.
    struct FileIdentity {
        std::uint64_t device = 0, inode = 0;
        std::int64_t size = -1, modifiedSeconds = 0, modifiedNanoseconds = 0;
        bool symbolicLink = false;
        bool operator==(const FileIdentity&) const = default;
    };

private:
    // What is known of one of the two files, valid while the file keeps its identity.
    enum class Known { nothing, good, keptAside };
    struct KnownFile {
        Known what = Known::nothing;
        FileIdentity identity;
        std::size_t sessions = 0;  // entries of the file
    };

    QString folder_;
    std::shared_ptr<HistoryFiles> files_;
    std::mutex mutex_;
    KnownFile main_;
    KnownFile backup_;

    // What making the backup changed, undone when the new history cannot be put in place.
    struct BackupChange {
        bool made = false;
        QByteArray previous;  // a hidden name of what the backup name held, if it held anything
        KnownFile known;      // what was known of the backup before
    };

    // How a file is put aside: moved away, or copied while it stays in place until the new history
    // replaces it; the copy of a file that reads whole but holds sessions not saved is a changed one.
    enum class Aside { move, copy, changedCopy };
    QString quarantine(const QString& path, Aside how);
    bool isKnown(const KnownFile& known, const QString& path, Known what) const;
    bool putBackupAsideIfNeeded(QString& setAsideTo);
    bool replaceBackupWithMain(BackupChange& change);
    void undoBackup(const BackupChange& change);
};

}  // namespace korvalen
