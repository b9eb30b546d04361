#include "Model/AIRecordsJSON.h"
#include "State/SessionPersistence.h"
#include "support/FailingHistoryFiles.h"
#include "support/FileBytes.h"
#include "support/LogCapture.h"
#include "support/SessionBuilders.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>

#include <algorithm>
#include <functional>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

using namespace korvalen;
using korvalen::test::readAll;
using korvalen::test::writeAll;
using korvalen::testing::FailingHistoryFiles;
using korvalen::testing::LogCapture;
using korvalen::testing::sampleSession;
using Call = FailingHistoryFiles::Call;

namespace {

// Regular files only: a link to a file that is gone keeps nothing.
QList<QByteArray> regularFileContents(const QString& folder)
{
    QList<QByteArray> contents;
    for (const QString& name : QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System)) {
        struct stat st {};
        const QString path = folder + "/" + name;
        if (::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode)) contents << readAll(path);
    }
    return contents;
}

// A history folder of its own whose file calls fail on demand.
struct FailingFolder {
    QTemporaryDir scratch;
    QString where = scratch.path() + "/Korvalen AI";
    std::shared_ptr<FailingHistoryFiles> files = std::make_shared<FailingHistoryFiles>();
    SessionPersistence persistence{where, files};
};

TEST(HistoryFilesTest, ASaveIsReportedOnlyWhenTheNewHistoryIsWholeInPlace)
{
    struct Case {
        const char* name;
        Call failing;
        const char* onlyFor;
        bool cutWritesShort;
        bool saved;
        bool backupReplaced;
        const char* event;
        Call alsoFailing = Call::none;  // once, on the backup's own name
    };
    const char* main = "history.json";  // not the backup's names
    const Case cases[] = {
        {"the file cannot be created", Call::create, main, false, false, false, "HISTORY_SAVE_FAILED reason=write"},
        {"the disk is full", Call::write, main, false, false, false, "HISTORY_SAVE_FAILED reason=write"},
        {"the data does not reach the disk", Call::flush, main, false, false, false,
         "HISTORY_SAVE_FAILED reason=write"},
        {"closing reports a lost write", Call::close, main, false, false, false, "HISTORY_SAVE_FAILED reason=write"},
        {"the rename into place fails", Call::rename, main, false, false, false, "HISTORY_SAVE_FAILED reason=write"},
        {"writes cut short and interrupted", Call::none, "", true, true, true, "HISTORY_SAVED"},
        {"a file system without hard links", Call::link, "", false, true, true, "HISTORY_SAVED"},
        {"the backup cannot be renamed into place", Call::rename, "history.backup.json", false, true, false,
         "HISTORY_BACKUP_FAILED"},
        // The old backup is moved to a hidden name, and must come back.
        {"no hard links, and the backup cannot be renamed into place", Call::link, "", false, true, false,
         "HISTORY_BACKUP_FAILED", Call::rename},
        {"the folder cannot be synced", Call::syncFolder, "", false, true, true, "HISTORY_FOLDER_SYNC_FAILED"},
    };
    const std::vector<AIBenchmarkSession> oldest{sampleSession(2)}, older{sampleSession(1)},
        newer{sampleSession(0), sampleSession(1)};
    LogCapture quiet;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FailingFolder folder;
        ASSERT_TRUE(folder.persistence.save(oldest));
        const QByteArray oldestBytes = readAll(folder.persistence.historyPath());
        ASSERT_TRUE(folder.persistence.save(older));
        const QByteArray olderBytes = readAll(folder.persistence.historyPath());
        folder.files->failing = c.failing;
        folder.files->onlyFor = c.onlyFor;
        folder.files->cutWritesShort = c.cutWritesShort;
        folder.files->alsoFailing = c.alsoFailing;
        folder.files->alsoFor = "/history.backup.json";
        folder.files->alsoTimes = 1;
        folder.files->calls.clear();

        LogCapture log;
        EXPECT_EQ(folder.persistence.save(newer), c.saved);
        EXPECT_EQ(QDir(folder.where).entryList(QDir::Files | QDir::Hidden, QDir::Name),
                  QStringList({"history.backup.json", "history.json"}))
            << "no partial file left";
        if (!c.saved) {
            EXPECT_EQ(readAll(folder.persistence.historyPath()), olderBytes) << "byte for byte";
        }
        EXPECT_EQ(SessionPersistence(folder.where).load(), c.saved ? newer : older);
        EXPECT_EQ(readAll(folder.persistence.backupPath()), c.backupReplaced ? olderBytes : oldestBytes);
        EXPECT_FALSE(log.events(c.event).empty());
        EXPECT_EQ(log.events("HISTORY_FOLDER_SYNC_FAILED").empty(), c.failing != Call::syncFolder);
        EXPECT_EQ(log.events("HISTORY_SAVED").size(), c.saved ? 1u : 0u);
        const auto& calls = folder.files->calls;
        const auto lastRename = std::find(calls.rbegin(), calls.rend(), std::pair{Call::rename, true});
        EXPECT_TRUE(
            lastRename == calls.rend() ||
            std::any_of(calls.rbegin(), lastRename, [](const auto& call) { return call.first == Call::syncFolder; }))
            << "the renames are made to last";

        // A later save finds the folder as it left it.
        folder.files->failing = Call::none;
        ASSERT_TRUE(folder.persistence.save(newer));
        EXPECT_EQ(SessionPersistence(folder.where).load(), newer);
        EXPECT_EQ(QDir(folder.where).entryList(QDir::Files | QDir::Hidden).size(), 2);
    }
}

// Removing the main file is safe only when its bytes are kept in another regular file.
TEST(HistoryFilesTest, SettingAMalformedFileAsideNeverLosesItsOnlyCopy)
{
    struct Case {
        const char* name;
        std::function<void(const QString& main, const QString& aside)> make;
        Call failing;
        bool mainStays;
        const char* event;
    };
    auto copy = [](const QString& main, const QString& aside) { ASSERT_TRUE(QFile::copy(main, aside)); };
    const Case cases[] = {
        {"the set-aside name is a link to the file",
         [](const QString&, const QString& aside) { ASSERT_TRUE(QFile::link("history.json", aside)); }, Call::none,
         false, "HISTORY_QUARANTINED"},
        {"the set-aside name is another name of the file",
         [](const QString& main, const QString& aside) {
             ASSERT_EQ(::link(QFile::encodeName(main), QFile::encodeName(aside)), 0);
         },
         Call::none, false, "HISTORY_QUARANTINED"},
        {"a link to nothing holds the set-aside name",
         [](const QString&, const QString& aside) { ASSERT_TRUE(QFile::link("gone/history.json", aside)); }, Call::none,
         false, "HISTORY_QUARANTINED"},
        {"a copy was set aside before", copy, Call::none, false, "HISTORY_ALREADY_QUARANTINED"},
        {"the move fails", [](const QString&, const QString&) {}, Call::rename, true, "HISTORY_QUARANTINE_FAILED"},
        {"a copy was set aside before and the file cannot be removed", copy, Call::remove, true,
         "HISTORY_QUARANTINE_FAILED"},
    };
    const QByteArray malformed = "[{\"partial session data\"";
    LogCapture quiet;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FailingFolder folder;
        ASSERT_TRUE(QDir().mkpath(folder.where));
        writeAll(folder.persistence.historyPath(), malformed);
        c.make(folder.persistence.historyPath(), folder.persistence.corruptPath());
        folder.files->failing = c.failing;

        LogCapture log;
        const auto openBefore = QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System).size();
        EXPECT_TRUE(folder.persistence.loadReport().sessions.empty());
        EXPECT_TRUE(regularFileContents(folder.where).contains(malformed));
        EXPECT_EQ(readAll(folder.persistence.historyPath()), c.mainStays ? malformed : QByteArray());
        EXPECT_FALSE(log.events(c.event).empty());
        EXPECT_EQ(folder.persistence.save({sampleSession(0)}), !c.mainStays)
            << "a file not set aside is never written over";
        EXPECT_EQ(log.events("HISTORY_SAVE_FAILED reason=unreadable-file-in-place").size(), c.mainStays ? 1u : 0u);
        EXPECT_TRUE(regularFileContents(folder.where).contains(malformed));
        EXPECT_EQ(QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System).size(), openBefore)
            << "no descriptor left open";
    }
}

TEST(HistoryFilesTest, ANulBetweenTwoSessionsSetsTheFileAsideAndNoSessionLeavesTheFolder)
{
    QTemporaryDir scratch;
    const QString where = scratch.path() + "/Korvalen AI";
    const AIBenchmarkSession a = sampleSession(5), b = sampleSession(4), c = sampleSession(3);
    LogCapture quiet;
    {
        SessionPersistence runs(where);
        ASSERT_TRUE(runs.save({a}));
        ASSERT_TRUE(runs.save({b, a}));
        ASSERT_TRUE(runs.save({c, b, a}));
    }
    SessionPersistence persistence(where);
    QByteArray damaged = readAll(persistence.historyPath());
    const auto comma = static_cast<qsizetype>(1 + toJSON(c).dump().size());
    ASSERT_EQ(damaged[comma], ',');
    damaged[comma] = '\0';
    writeAll(persistence.historyPath(), damaged);

    LogCapture log;
    const SessionPersistence::LoadReport report = persistence.loadReport();
    EXPECT_EQ(report.sessions, (std::vector<AIBenchmarkSession>{b, a})) << "the backup serves";
    EXPECT_TRUE(report.fromBackup);
    EXPECT_EQ(readAll(report.quarantinedTo), damaged);
    EXPECT_FALSE(log.events("HISTORY_UNREADABLE").empty());

    std::vector<AIBenchmarkSession> history = report.sessions;
    for (int run = 0; run < 2; ++run) {
        history.insert(history.begin(), sampleSession(-run));
        ASSERT_TRUE(persistence.save(history));
    }
    for (const AIBenchmarkSession& session : {a, b, c}) {
        const QByteArray id = QByteArray::fromStdString(toJSON(session)["id"].get<std::string>());
        bool kept = false;
        for (const QByteArray& content : regularFileContents(where)) kept = kept || content.contains(id);
        EXPECT_TRUE(kept) << id.toStdString();
    }
}

// Names a save or a restore writes under before renaming them into place.
QStringList hiddenNames(const QString& folder)
{
    return QDir(folder).entryList({".*"}, QDir::Files | QDir::Hidden | QDir::System);
}

// The restored history could not be put back in place: the backup must still be there to serve
// the next launch, which finds no main file.
TEST(HistoryFilesTest, ARestoreThatCannotBeWrittenIsToldAndTheBackupServesAgain)
{
    for (const Call failing : {Call::create, Call::rename}) {
        SCOPED_TRACE(failing == Call::create ? "not created" : "not renamed into place");
        QTemporaryDir scratch;
        const QString where = scratch.path() + "/Korvalen AI";
        const std::vector<AIBenchmarkSession> older{sampleSession(2)};
        LogCapture log;
        {
            SessionPersistence runs(where);
            ASSERT_TRUE(runs.save(older));
            ASSERT_TRUE(runs.save({sampleSession(1), sampleSession(2)}));
        }
        auto files = std::make_shared<FailingHistoryFiles>();
        SessionPersistence persistence(where, files);
        writeAll(persistence.historyPath(), "[{\"cut short");
        files->failing = failing;
        files->onlyFor = "history.json";

        EXPECT_EQ(persistence.loadReport().sessions, older);
        EXPECT_EQ(log.events("HISTORY_RESTORE_WRITE_FAILED").size(), 1u);
        EXPECT_EQ(hiddenNames(where), QStringList()) << "the copy is not left under a hidden name";
        const SessionPersistence::LoadReport relaunched = SessionPersistence(where).loadReport();
        EXPECT_EQ(relaunched.sessions, older);
        EXPECT_TRUE(relaunched.mainMissing);
    }
}

// Every entry of the folder as it is: a link by what it names, a regular file by its bytes.
QMap<QString, QByteArray> folderEntries(const QString& folder)
{
    QMap<QString, QByteArray> entries;
    for (const QString& name :
         QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
        const QByteArray path = QFile::encodeName(folder + "/" + name);
        struct stat st {};
        char target[4096];
        if (::lstat(path, &st) != 0) continue;
        if (S_ISLNK(st.st_mode)) {
            const ssize_t n = ::readlink(path, target, sizeof target);
            entries[name] = "link to " + QByteArray(target, n < 0 ? 0 : int(n));
        } else {
            entries[name] = S_ISREG(st.st_mode) ? readAll(folder + "/" + name) : QByteArray("other");
        }
    }
    return entries;
}

QByteArray historyBytes(const std::vector<AIBenchmarkSession>& sessions)
{
    return QByteArray::fromStdString(toJSON(sessions).dump());
}

// A history file there but not readable says nothing of what it holds: it is never taken for a
// missing one, which the save would replace; it is neither set aside nor written over.
TEST(HistoryFilesTest, AHistoryThatIsThereButCannotBeReadIsNeitherMovedNorWrittenOver)
{
    struct Case {
        const char* name;
        const char* linkTo;  // history.json is a link to this, or a regular file when null
        Call failing;
        int error;
        // A device takes the name between the look and the open: one that ends, so that reading it
        // fails this test instead of filling the memory as a link to /dev/zero would.
        const char* openInstead = "";
    };
    const Case cases[] = {
        {"every read fails", "/proc/self/mem", Call::none, 0},
        {"opening it is refused", nullptr, Call::openToRead, EACCES},
        {"opening it fails on the device", nullptr, Call::openToRead, EIO},
        {"a link to itself", "history.json", Call::none, 0},
        {"a device in its place once looked at", nullptr, Call::none, 0, "/dev/null"},
    };
    const std::vector<AIBenchmarkSession> backup{sampleSession(2), sampleSession(3)};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FailingFolder folder;
        ASSERT_TRUE(QDir().mkpath(folder.where));
        writeAll(folder.persistence.backupPath(), historyBytes(backup));
        if (c.linkTo)
            ASSERT_TRUE(QFile::link(c.linkTo, folder.persistence.historyPath()));
        else
            writeAll(folder.persistence.historyPath(), historyBytes({sampleSession(1)}));
        folder.files->failing = c.failing;
        folder.files->error = c.error;
        folder.files->onlyFor = "history.json";
        folder.files->openInstead = c.openInstead;
        const auto before = folderEntries(folder.where);
        const bool device = *c.openInstead != '\0';

        LogCapture log;
        const SessionPersistence::LoadReport report = folder.persistence.loadReport();
        EXPECT_EQ(report.unreadable, device ? "not a regular file" : "read error");
        EXPECT_EQ(report.sessions, backup);
        EXPECT_FALSE(report.mainMissing);
        EXPECT_FALSE(folder.persistence.save({sampleSession(0), sampleSession(2), sampleSession(3)}));
        EXPECT_EQ(log.events(device ? "HISTORY_SAVE_FAILED reason=not-a-file-in-place"
                                    : "HISTORY_SAVE_FAILED reason=unreadable-file-in-place")
                      .size(),
                  1u);
        EXPECT_EQ(folderEntries(folder.where), before);
    }
}

// What loading or the last save learned holds only while the file stays as it was.
TEST(HistoryFilesTest, AHistoryChangedOnDiskSinceIsReadAgainAndABadOneNeverBecomesTheBackup)
{
    struct Case {
        const char* name;
        std::function<QByteArray(const QString& main)> change;  // gives what the main name now shows
        bool copied;                                            // kept aside by a copy, not moved
    };
    const Case cases[] = {
        {"rewritten with malformed text",
         [](const QString& main) {
             writeAll(main, "[{\"rewritten");
             return QByteArray("[{\"rewritten");
         },
         false},
        {"replaced by a link to malformed text",
         [](const QString& main) {
             writeAll(QFileInfo(main).absolutePath() + "/elsewhere.json", "[{\"elsewhere");
             EXPECT_TRUE(QFile::remove(main) && QFile::link("elsewhere.json", main));
             return QByteArray("[{\"elsewhere");
         },
         false},
        {"a session in it no longer decodes",
         [](const QString& main) {
             nlohmann::json array = toJSON(std::vector<AIBenchmarkSession>{sampleSession(1), sampleSession(2)});
             array[1]["mode"] = "Unknown Mode";
             const QByteArray bytes = QByteArray::fromStdString(array.dump());
             writeAll(main, bytes);
             return bytes;
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        FailingFolder folder;
        ASSERT_TRUE(folder.persistence.save({sampleSession(3)}));
        ASSERT_TRUE(folder.persistence.save({sampleSession(2), sampleSession(3)}));
        const QByteArray backupBytes = readAll(folder.persistence.backupPath());
        const QByteArray changed = c.change(folder.persistence.historyPath());

        const std::vector<AIBenchmarkSession> next{sampleSession(0), sampleSession(2), sampleSession(3)};
        const SessionPersistence::SaveReport report = folder.persistence.saveReport(next);
        EXPECT_TRUE(report.saved);
        EXPECT_EQ(readAll(report.quarantinedTo), changed);
        EXPECT_EQ(readAll(folder.persistence.backupPath()), backupBytes) << "the bad file is not the backup";
        EXPECT_EQ(SessionPersistence(folder.where).load(), next);
        const auto setAside = log.events("HISTORY_QUARANTINED");
        ASSERT_EQ(setAside.size(), 1u);
        EXPECT_EQ(setAside[0].find(" mode=copy") != std::string::npos, c.copied);
    }
}

// Another program put a history in place since the last load or save. Whatever it holds that the
// window does not show (by identity, not by count) is copied aside once, never dropped by later
// saves, and the report says where; the window's sessions are saved as always.
TEST(HistoryFilesTest, AHistoryChangedOnDiskKeepsOnceEverySessionTheWindowDoesNotShow)
{
    struct Case {
        const char* name;
        bool unshown;    // it holds a session the window does not show
        bool copyFails;  // the copy cannot be renamed into place at the first save
    };
    const Case cases[] = {
        {"a session more", true, false},
        {"a session in place of the one shown, and the copy fails at first", true, true},
        {"the session shown, written anew", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        FailingFolder folder;
        const AIBenchmarkSession shown = sampleSession(5), other = sampleSession(4);
        ASSERT_TRUE(folder.persistence.save({shown}));
        std::vector<AIBenchmarkSession> written{shown};
        if (c.unshown) written = c.copyFails ? std::vector{other} : std::vector{other, shown};
        const QByteArray bytes = QByteArray::fromStdString(toJSON(written).dump(2));
        writeAll(folder.persistence.historyPath(), bytes);

        std::vector<AIBenchmarkSession> history{sampleSession(3), shown};
        if (c.copyFails) {
            folder.files->failing = Call::rename;
            folder.files->onlyFor = "history.changed";
            EXPECT_FALSE(folder.persistence.save(history));
            EXPECT_EQ(log.events("HISTORY_SAVE_FAILED reason=changed-file-in-place").size(), 1u);
            EXPECT_EQ(readAll(folder.persistence.historyPath()), bytes) << "never written over";
            EXPECT_EQ(hiddenNames(folder.where), QStringList()) << "the copy is not left under a hidden name";
            folder.files->failing = Call::none;
        }
        const SessionPersistence::SaveReport report = folder.persistence.saveReport(history);
        EXPECT_TRUE(report.saved);
        EXPECT_TRUE(report.quarantinedTo.isEmpty());
        EXPECT_EQ(report.changedKeptAs.isEmpty(), !c.unshown);
        if (c.unshown) {
            EXPECT_EQ(QFileInfo(report.changedKeptAs).absolutePath(), folder.where);
            EXPECT_TRUE(QFileInfo(report.changedKeptAs).fileName().startsWith("history.changed-2"));
            EXPECT_EQ(readAll(report.changedKeptAs), bytes);
        }
        EXPECT_EQ(SessionPersistence(folder.where).load(), history);

        // Two more runs, the other program writing the same file again before the second.
        history.insert(history.begin(), sampleSession(2));
        ASSERT_TRUE(folder.persistence.save(history));
        writeAll(folder.persistence.historyPath(), bytes);
        history.insert(history.begin(), sampleSession(1));
        EXPECT_EQ(folder.persistence.saveReport(history).changedKeptAs, report.changedKeptAs) << "kept once";
        EXPECT_EQ(SessionPersistence(folder.where).load(), history);
        EXPECT_EQ(QDir(folder.where).entryList({"history.*"}, QDir::Files).size(), c.unshown ? 3 : 2);
        const QByteArray id = QByteArray::fromStdString(toJSON(other)["id"].get<std::string>());
        bool kept = false;
        for (const QByteArray& content : regularFileContents(folder.where)) kept = kept || content.contains(id);
        EXPECT_EQ(kept, c.unshown) << "in a file of the folder";
    }
}

// history.json or its backup a link, or the two one file: a save, failed or not, never costs a
// regular file its bytes, never leaves a link to itself or to nothing, and leaves no hidden name.
TEST(HistoryFilesTest, ASaveAmongLinksLosesNothingAndAFailedOneChangesNothing)
{
    const std::vector<AIBenchmarkSession> three{sampleSession(3), sampleSession(4), sampleSession(5)},
        two{sampleSession(6), sampleSession(7)};
    auto link = [](const char* target, const QString& name) { ASSERT_TRUE(QFile::link(target, name)); };
    struct Case {
        const char* name;
        std::function<void(const SessionPersistence&)> make;  // history.json reads `three`
    };
    const Case cases[] = {
        {"history.json a link to the backup",
         [&](const SessionPersistence& p) {
             writeAll(p.backupPath(), historyBytes(three));
             link("history.backup.json", p.historyPath());
         }},
        {"history.json a link to another file of the folder",
         [&](const SessionPersistence& p) {
             writeAll(p.folder() + "/kept.json", historyBytes(three));
             writeAll(p.backupPath(), historyBytes(two));
             link("kept.json", p.historyPath());
         }},
        {"the backup a link to history.json",
         [&](const SessionPersistence& p) {
             writeAll(p.historyPath(), historyBytes(three));
             link("history.json", p.backupPath());
         }},
        {"the backup a link to nothing",
         [&](const SessionPersistence& p) {
             writeAll(p.historyPath(), historyBytes(three));
             link("gone.json", p.backupPath());
         }},
        {"the backup a link to itself",
         [&](const SessionPersistence& p) {
             writeAll(p.historyPath(), historyBytes(three));
             link("history.backup.json", p.backupPath());
         }},
        {"the two names of one file",
         [&](const SessionPersistence& p) {
             writeAll(p.historyPath(), historyBytes(three));
             ASSERT_EQ(::link(QFile::encodeName(p.historyPath()), QFile::encodeName(p.backupPath())), 0);
         }},
    };
    std::vector<AIBenchmarkSession> next = three;
    next.insert(next.begin(), sampleSession(0));
    LogCapture quiet;
    for (const Case& c : cases) {
        for (const Call failing : {Call::write, Call::rename}) {
            SCOPED_TRACE(std::string(c.name) + (failing == Call::write ? ", disk full" : ", rename fails"));
            FailingFolder folder;
            ASSERT_TRUE(QDir().mkpath(folder.where));
            c.make(folder.persistence);
            ASSERT_EQ(folder.persistence.load(), three);
            const auto before = folderEntries(folder.where);

            folder.files->failing = failing;
            folder.files->error = ENOSPC;
            folder.files->onlyFor = "history.json";
            EXPECT_FALSE(folder.persistence.save(next));
            EXPECT_EQ(folderEntries(folder.where), before) << "a failed save changes nothing";

            folder.files->failing = Call::none;
            LogCapture log;
            ASSERT_TRUE(folder.persistence.save(next));
            EXPECT_TRUE(log.events("HISTORY_BACKUP_FAILED").empty());
            EXPECT_EQ(SessionPersistence(folder.where).load(), next);
            const auto after = folderEntries(folder.where);
            const auto backup = SessionPersistence::readText(after.value("history.backup.json").toStdString());
            ASSERT_TRUE(backup) << "the backup is a file of its own";
            EXPECT_EQ(backup->sessions, three) << "with the history as it was";
            for (auto it = before.begin(); it != before.end(); ++it)
                if (!it.key().startsWith("history.")) {
                    EXPECT_EQ(after.value(it.key()), it.value()) << "what a link names";
                }
            for (const QString& name : after.keys()) {
                EXPECT_FALSE(name.startsWith('.')) << name.toStdString();
                EXPECT_TRUE(QFileInfo(folder.where + "/" + name).isFile()) << name.toStdString() << " leads nowhere";
            }
        }
    }
}

}  // namespace
