#include "Model/AIRecordsJSON.h"
#include "State/SessionPersistence.h"
#include "support/FailingHistoryFiles.h"
#include "support/FileBytes.h"
#include "support/LogCapture.h"
#include "support/SessionBuilders.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
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
    };
    const char* main = "history.json";  // not the backup's names
    const Case cases[] = {
        {"the file cannot be created", Call::create, main, false, false, true, "HISTORY_SAVE_FAILED reason=write"},
        {"the disk is full", Call::write, main, false, false, true, "HISTORY_SAVE_FAILED reason=write"},
        {"the data does not reach the disk", Call::flush, main, false, false, true, "HISTORY_SAVE_FAILED reason=write"},
        {"closing reports a lost write", Call::close, main, false, false, true, "HISTORY_SAVE_FAILED reason=write"},
        {"the rename into place fails", Call::rename, main, false, false, true, "HISTORY_SAVE_FAILED reason=write"},
        {"writes cut short and interrupted", Call::none, "", true, true, true, "HISTORY_SAVED"},
        {"a file system without hard links", Call::link, "", false, true, true, "HISTORY_SAVED"},
        {"the backup cannot be renamed into place", Call::rename, "history.backup.json", false, true, false,
         "HISTORY_BACKUP_FAILED"},
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
        folder.files->calls.clear();

        LogCapture log;
        EXPECT_EQ(folder.persistence.save(newer), c.saved);
        EXPECT_EQ(QDir(folder.where).entryList(QDir::Files | QDir::Hidden, QDir::Name),
                  QStringList({"history.backup.json", "history.json"}))
            << "no partial file left";
        EXPECT_EQ(SessionPersistence(folder.where).load(), c.saved ? newer : older);
        EXPECT_EQ(readAll(folder.persistence.backupPath()), c.backupReplaced ? olderBytes : oldestBytes);
        EXPECT_FALSE(log.events(c.event).empty());
        EXPECT_EQ(log.events("HISTORY_FOLDER_SYNC_FAILED").empty(), c.failing != Call::syncFolder);
        EXPECT_EQ(log.events("HISTORY_SAVED").size(), c.saved ? 1u : 0u);
        EXPECT_EQ(folder.files->made(Call::rename, true), folder.files->made(Call::syncFolder, false))
            << "every rename is made to last";
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
        EXPECT_TRUE(folder.persistence.loadReport().sessions.empty());
        EXPECT_TRUE(regularFileContents(folder.where).contains(malformed));
        EXPECT_EQ(readAll(folder.persistence.historyPath()), c.mainStays ? malformed : QByteArray());
        EXPECT_FALSE(log.events(c.event).empty());
        EXPECT_EQ(folder.persistence.save({sampleSession(0)}), !c.mainStays)
            << "a file not set aside is never written over";
        EXPECT_EQ(log.events("HISTORY_SAVE_FAILED reason=unreadable-file-in-place").size(), c.mainStays ? 1u : 0u);
        EXPECT_TRUE(regularFileContents(folder.where).contains(malformed));
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

// The restored history could not be put back in place: the backup must still be there to serve
// the next launch, which finds no main file.
TEST(HistoryFilesTest, ARestoreThatCannotBeWrittenIsToldAndTheBackupServesAgain)
{
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
    files->failing = Call::create;

    EXPECT_EQ(persistence.loadReport().sessions, older);
    EXPECT_EQ(log.events("HISTORY_RESTORE_WRITE_FAILED").size(), 1u);
    const SessionPersistence::LoadReport relaunched = SessionPersistence(where).loadReport();
    EXPECT_EQ(relaunched.sessions, older);
    EXPECT_TRUE(relaunched.mainMissing);
}

// A read error, as a failing disk gives, says nothing of what the file holds: it is neither set
// aside nor written over.
TEST(HistoryFilesTest, AHistoryThatCannotBeReadIsNeitherMovedNorWrittenOver)
{
    QTemporaryDir scratch;
    const QString where = scratch.path() + "/Korvalen AI";
    ASSERT_TRUE(QDir().mkpath(where));
    SessionPersistence persistence(where);
    // A regular file whose every read fails.
    ASSERT_TRUE(QFile::link("/proc/self/mem", persistence.historyPath()));

    LogCapture log;
    EXPECT_EQ(persistence.loadReport().unreadable, "read error");
    EXPECT_FALSE(persistence.save({sampleSession(0)}));
    EXPECT_EQ(log.events("HISTORY_SAVE_FAILED reason=unreadable-file-in-place").size(), 1u);
    EXPECT_EQ(QDir(where).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
              QStringList({"history.json"}));
    EXPECT_EQ(QFileInfo(persistence.historyPath()).symLinkTarget(), "/proc/self/mem");
}

}  // namespace
