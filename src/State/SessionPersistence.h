#pragma once

#include "Model/AIRecords.h"

#include <QString>

#include <vector>

namespace korvalen {

// The session history on disk: "history.json", a JSON array of sessions, newest first, in the
// application data folder, with "history.backup.json" (the previous good file) beside it.
//
// Nothing the user ran is ever thrown away by this class: a file that cannot be read is moved
// aside to "history.corrupt.json" (or a dated name when that is taken), and a file of which some
// sessions cannot be decoded is copied aside the same way before the next save drops them.
// Used on the main thread, synchronously: the file is small.
class SessionPersistence {
public:
    static constexpr int historyLimit = 20;

    struct LoadReport {
        std::vector<AIBenchmarkSession> sessions;
        int skippedSessions = 0;   // entries that did not decode
        bool fromBackup = false;   // the main file was missing or unreadable
        QString quarantinedTo;     // where an unreadable or partly bad file was put aside, if anywhere
    };

    // GenericDataLocation + "/Korvalen AI" (~/.local/share/Korvalen AI).
    static QString defaultFolder();

    explicit SessionPersistence(QString folder = defaultFolder());

    const QString& folder() const { return folder_; }
    QString historyPath() const;
    QString backupPath() const;
    QString corruptPath() const;

    std::vector<AIBenchmarkSession> load() { return loadReport().sessions; }
    LoadReport loadReport();

    // Writes the list atomically (the previous good file becomes the backup). False, with a log
    // line, when the folder or file cannot be written; an unreadable file in the way is put aside
    // first and never overwritten.
    bool save(const std::vector<AIBenchmarkSession>& sessions);

private:
    QString folder_;

    QString quarantine(const QString& path, bool keepOriginal);
};

}  // namespace korvalen
