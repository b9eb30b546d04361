#include "Model/AIRecordsJSON.h"
#include "State/SessionPersistence.h"
#include "support/FileBytes.h"
#include "support/LogCapture.h"
#include "support/SessionBuilders.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <future>

#include <csignal>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvalen;
using korvalen::test::readAll;
using korvalen::test::writeAll;
using korvalen::testing::sampleSession;

namespace {

QStringList folderFiles(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

struct SessionPersistenceTest : ::testing::Test {
    QTemporaryDir dir;
    QString folder() const { return dir.path() + "/Korvalen AI"; }
};

TEST_F(SessionPersistenceTest, SavedHistoryLoadsBackEqualAndThePreviousFileBecomesTheBackup)
{
    korvalen::testing::LogCapture log;
    const auto openFiles = [] { return QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System).size(); };
    const auto openBefore = openFiles();
    SessionPersistence persistence(folder());
    EXPECT_TRUE(persistence.load().empty()) << "no file yet is an empty history, not an error";

    const std::vector<AIBenchmarkSession> first{sampleSession(1), sampleSession(2)};
    ASSERT_TRUE(persistence.save(first));  // also creates the folder
    const QByteArray firstBytes = readAll(persistence.historyPath());
    EXPECT_EQ(
        QFileInfo(persistence.historyPath()).permissions() & (QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther),
        QFile::Permissions());
    EXPECT_EQ(SessionPersistence(folder()).load(), first);

    std::vector<AIBenchmarkSession> second = first;
    second.insert(second.begin(), sampleSession(0));
    ASSERT_TRUE(persistence.save(second));
    EXPECT_EQ(SessionPersistence(folder()).load(), second);
    EXPECT_EQ(readAll(persistence.backupPath()), firstBytes);
    EXPECT_EQ(QDir(folder()).entryList(QDir::Files | QDir::Hidden, QDir::Name),
              QStringList({"history.backup.json", "history.json"}))
        << "no temporary name left behind";
    EXPECT_TRUE(log.events("HISTORY_BACKUP_FAILED").empty());

    // After a relaunch the backup on disk is unknown until the first save looks at it.
    const QByteArray secondBytes = readAll(persistence.historyPath());
    SessionPersistence relaunched(folder());
    EXPECT_EQ(relaunched.load(), second);
    ASSERT_TRUE(relaunched.save(first));
    EXPECT_EQ(readAll(persistence.backupPath()), secondBytes);
    EXPECT_EQ(openFiles(), openBefore) << "no descriptor left open";
}

TEST_F(SessionPersistenceTest, UnreadableFileIsQuarantinedTheBackupServesAndAFreshHistoryIsSavedBeside)
{
    SessionPersistence persistence(folder());
    const std::vector<AIBenchmarkSession> older{sampleSession(5)};
    const std::vector<AIBenchmarkSession> newer{sampleSession(1), sampleSession(5)};
    ASSERT_TRUE(persistence.save(older));
    ASSERT_TRUE(persistence.save(newer));  // backup now holds `older`
    const QByteArray garbage = "[{\"id\": \"truncated";
    writeAll(persistence.historyPath(), garbage);

    const SessionPersistence::LoadReport report = persistence.loadReport();
    EXPECT_TRUE(report.fromBackup);
    EXPECT_EQ(report.sessions, older);
    EXPECT_EQ(report.quarantinedTo, persistence.corruptPath());
    EXPECT_EQ(readAll(persistence.corruptPath()), garbage);
    EXPECT_EQ(readAll(persistence.historyPath()), readAll(persistence.backupPath()))
        << "the restored history is back in place";

    ASSERT_TRUE(persistence.save(newer));
    EXPECT_EQ(SessionPersistence(folder()).load(), newer);
    EXPECT_EQ(readAll(persistence.corruptPath()), garbage) << "the quarantined copy is never overwritten";
}

TEST_F(SessionPersistenceTest, AnEarlierQuarantinedFileIsKeptWhenAnotherGoesBad)
{
    SessionPersistence persistence(folder());
    QDir().mkpath(folder());
    // Of the same size: only the content tells them apart.
    writeAll(persistence.corruptPath(), "first bad file.");
    writeAll(persistence.historyPath(), "second bad file");

    // Saving over an unreadable file puts it aside first, even without a load before.
    ASSERT_TRUE(persistence.save({sampleSession(1)}));
    EXPECT_EQ(readAll(persistence.corruptPath()), "first bad file.");
    QStringList quarantined = QDir(folder()).entryList({"history.corrupt*.json"}, QDir::Files);
    ASSERT_EQ(quarantined.size(), 2);
    quarantined.removeAll("history.corrupt.json");
    EXPECT_EQ(readAll(folder() + "/" + quarantined.front()), "second bad file");
    EXPECT_EQ(persistence.load().size(), 1u);
}

TEST_F(SessionPersistenceTest, ASessionThatDoesNotDecodeIsSkippedWhileTheOthersLoad)
{
    korvalen::testing::LogCapture log;
    SessionPersistence persistence(folder());
    const AIBenchmarkSession a = sampleSession(1), b = sampleSession(2), c = sampleSession(3);
    nlohmann::json array = toJSON(std::vector<AIBenchmarkSession>{a, b, c});
    array[1]["results"][0]["workloadID"] = "workloadFromANewerVersion";
    QDir().mkpath(folder());
    const std::string text = array.dump();
    writeAll(persistence.historyPath(), QByteArray::fromStdString(text));

    const SessionPersistence::LoadReport report = persistence.loadReport();
    EXPECT_EQ(report.sessions, (std::vector<AIBenchmarkSession>{a, c}));
    EXPECT_EQ(report.skippedSessions, 1);
    EXPECT_FALSE(report.fromBackup);
    // The next save drops the unreadable session, so the file as it was is kept aside first.
    ASSERT_FALSE(report.quarantinedTo.isEmpty());
    EXPECT_EQ(readAll(report.quarantinedTo).toStdString(), text);
    EXPECT_EQ(readAll(persistence.historyPath()).toStdString(), text) << "loading alone changes nothing in place";

    // What loading learned is remembered: the save does not decode the file again, and a file with
    // an unreadable session never becomes the backup.
    ASSERT_TRUE(persistence.save({sampleSession(0)}));
    EXPECT_EQ(log.events("HISTORY_SESSION_SKIPPED").size(), 1u);
    EXPECT_FALSE(QFile::exists(persistence.backupPath()));
    // Nor when a save that did not load it meets it.
    writeAll(persistence.historyPath(), QByteArray::fromStdString(text));
    ASSERT_TRUE(SessionPersistence(folder()).save({sampleSession(0)}));
    EXPECT_FALSE(QFile::exists(persistence.backupPath()));
}

// A file of valid JSON whose sessions do not decode must neither hide a good backup nor become it.
TEST_F(SessionPersistenceTest, TheCandidateWithTheReadableSessionsWinsAndABadFileNeverBecomesTheBackup)
{
    struct Case {
        const char* name;
        int badInMain;  // sessions of the main file made unreadable (of 3)
        bool backupWins;
    };
    for (const Case& c :
         {Case{"all sessions bad", 3, true}, Case{"most sessions bad", 2, true}, Case{"one session bad", 1, false}}) {
        SCOPED_TRACE(c.name);
        QTemporaryDir scratch;
        const QString where = scratch.path() + "/Korvalen AI";
        SessionPersistence persistence(where);
        const std::vector<AIBenchmarkSession> older{sampleSession(7), sampleSession(8)};
        ASSERT_TRUE(persistence.save(older));
        const QByteArray olderBytes = readAll(persistence.historyPath());
        nlohmann::json array =
            toJSON(std::vector<AIBenchmarkSession>{sampleSession(1), sampleSession(7), sampleSession(8)});
        for (int i = 0; i < c.badInMain; ++i) array[static_cast<std::size_t>(2 - i)]["mode"] = "Unknown Mode";
        const QByteArray badBytes = QByteArray::fromStdString(array.dump());
        ASSERT_TRUE(persistence.save(older));  // `older` is now the backup
        writeAll(persistence.historyPath(), badBytes);

        SessionPersistence relaunched(where);
        const SessionPersistence::LoadReport report = relaunched.loadReport();
        EXPECT_EQ(report.fromBackup, c.backupWins);
        ASSERT_EQ(report.sessions.size(), 2u);
        if (c.backupWins)
            EXPECT_EQ(report.sessions, older);
        else
            EXPECT_EQ(report.sessions.front().startedAt, sampleSession(1).startedAt) << "the newer file, on a tie";
        EXPECT_EQ(readAll(report.quarantinedTo), badBytes) << "the bad file is kept as it was";
        EXPECT_EQ(readAll(relaunched.historyPath()), badBytes) << "and loading changes nothing in place";

        ASSERT_TRUE(relaunched.save({sampleSession(0)}));
        EXPECT_EQ(readAll(relaunched.backupPath()), olderBytes) << "the good backup is not replaced by the bad file";
        ASSERT_TRUE(relaunched.save({sampleSession(0), sampleSession(1)}));
        EXPECT_EQ(SessionPersistence(where).load().size(), 2u);
    }
}

TEST_F(SessionPersistenceTest, AnUnreadableBackupIsSetAsideNotOverwritten)
{
    for (const bool throughLoad : {true, false}) {
        SCOPED_TRACE(throughLoad ? "seen at load" : "seen at save");
        QTemporaryDir scratch;
        const QString where = scratch.path() + "/Korvalen AI";
        SessionPersistence persistence(where);
        ASSERT_TRUE(persistence.save({sampleSession(3)}));
        writeAll(persistence.backupPath(), "backup {broken");
        if (throughLoad) {
            writeAll(persistence.historyPath(), "main {broken");
            const SessionPersistence::LoadReport report = SessionPersistence(where).loadReport();
            EXPECT_EQ(readAll(report.backupQuarantinedTo), "backup {broken");
            EXPECT_EQ(readAll(report.quarantinedTo), "main {broken");
            EXPECT_FALSE(QFile::exists(persistence.historyPath())) << "moved aside, not copied";
            EXPECT_FALSE(QFile::exists(persistence.backupPath())) << "moved aside, not copied";
            EXPECT_TRUE(report.sessions.empty());
        }
        SessionPersistence relaunched(where);
        relaunched.load();
        const SessionPersistence::SaveReport saved = relaunched.saveReport({sampleSession(2), sampleSession(3)});
        ASSERT_TRUE(saved.saved);
        if (!throughLoad) {
            EXPECT_EQ(readAll(saved.backupQuarantinedTo), "backup {broken") << "the save tells what it put aside";
        }
        ASSERT_TRUE(relaunched.save({sampleSession(1), sampleSession(2), sampleSession(3)}));
        QStringList aside;
        for (const QString& name : QDir(where).entryList({"history.corrupt*.json"}, QDir::Files))
            aside << QString::fromUtf8(readAll(where + "/" + name));
        EXPECT_TRUE(aside.contains("backup {broken")) << aside.join(" | ").toStdString();
        EXPECT_EQ(SessionPersistence(where).load().size(), 3u);
    }
}

TEST_F(SessionPersistenceTest, AFileWithUnreadableSessionsIsKeptAsideOnceHoweverOftenItLoads)
{
    SessionPersistence persistence(folder());
    nlohmann::json array = toJSON(std::vector<AIBenchmarkSession>{sampleSession(1), sampleSession(2)});
    array[1]["mode"] = "Unknown Mode";
    QDir().mkpath(folder());
    writeAll(persistence.historyPath(), QByteArray::fromStdString(array.dump()));
    writeAll(folder() + "/.history.json.tmp-1-0", "left by a killed save");

    const QString first = SessionPersistence(folder()).loadReport().quarantinedTo;
    for (int launch = 0; launch < 3; ++launch)
        EXPECT_EQ(SessionPersistence(folder()).loadReport().quarantinedTo, first);
    EXPECT_EQ(folderFiles(folder()), QStringList({"history.corrupt.json", "history.json"}));
    EXPECT_FALSE(QFile::exists(folder() + "/.history.json.tmp-1-0")) << "what a killed save left is cleared";
}

// The backup is all that is left when the main file went missing (a restore that failed on a full
// disk, a user who deleted it), and it is never traded for a file that reads fewer sessions.
TEST_F(SessionPersistenceTest, AMissingOrSmallerMainFileNeverCostsTheBackupItsSessions)
{
    struct Case {
        const char* name;
        std::vector<int> main;  // empty: no main file
        int inBackup;
        int badInBackup;
        std::size_t loaded;
        bool fromBackup;
    };
    for (const Case& c : {Case{"main file deleted", {}, 3, 0, 3, true},
                          Case{"main file deleted, a backup session unreadable", {}, 3, 1, 2, true},
                          Case{"main file deleted, backup empty", {}, 0, 0, 0, false},
                          Case{"main file reads fewer sessions", {1}, 3, 0, 1, false}}) {
        SCOPED_TRACE(c.name);
        QTemporaryDir scratch;
        const QString where = scratch.path() + "/Korvalen AI";
        SessionPersistence persistence(where);
        ASSERT_TRUE(QDir().mkpath(where));
        std::vector<AIBenchmarkSession> inBackup;
        for (int i = 0; i < c.inBackup; ++i) inBackup.push_back(sampleSession(i + 1));
        nlohmann::json backup = toJSON(inBackup);
        for (int i = 0; i < c.badInBackup; ++i) backup[static_cast<std::size_t>(2 - i)]["mode"] = "Unknown Mode";
        const QByteArray backupBytes = QByteArray::fromStdString(backup.dump());
        writeAll(persistence.backupPath(), backupBytes);
        std::vector<AIBenchmarkSession> main;
        for (int minutes : c.main) main.push_back(sampleSession(minutes));
        if (!main.empty()) writeAll(persistence.historyPath(), QByteArray::fromStdString(toJSON(main).dump()));

        SessionPersistence launched(where);
        const SessionPersistence::LoadReport report = launched.loadReport();
        EXPECT_EQ(report.sessions.size(), c.loaded);
        EXPECT_EQ(report.fromBackup, c.fromBackup);
        EXPECT_EQ(report.mainMissing, c.fromBackup && c.main.empty());
        EXPECT_EQ(report.skippedSessions, c.badInBackup);
        EXPECT_TRUE(report.unreadable.isEmpty());

        // Two runs later the backup still reads at least what it read before.
        std::vector<AIBenchmarkSession> history = report.sessions;
        for (int run = 0; run < 2; ++run) {
            history.insert(history.begin(), sampleSession(-run));
            ASSERT_TRUE(launched.save(history));
        }
        EXPECT_EQ(SessionPersistence(where).load(), history);
        const auto backupNow = nlohmann::json::parse(readAll(persistence.backupPath()).toStdString());
        EXPECT_GE(backupNow.size(), static_cast<std::size_t>(c.inBackup - c.badInBackup));
        bool keptAsWas = readAll(persistence.backupPath()) == backupBytes;
        for (const QString& name : QDir(where).entryList({"history.corrupt*.json"}, QDir::Files))
            keptAsWas = keptAsWas || readAll(where + "/" + name) == backupBytes;
        EXPECT_TRUE(keptAsWas || c.badInBackup == 0) << "a session that did not read is still on disk";
    }
}

// A FIFO or a device where the history belongs must not hang the launch, and is left as it is.
TEST_F(SessionPersistenceTest, AHistoryThatIsNotARegularFileIsRefusedWithoutBlockingAndLeftInPlace)
{
    struct Case {
        const char* name;
        std::function<void(const QString& path)> make;
        bool isBackup;    // the backup is the odd one, beside a good main file
        bool withBackup;  // a good backup beside an odd main file
    };
    auto fifo = [](const QString& path) { ASSERT_EQ(::mkfifo(QFile::encodeName(path), 0600), 0); };
    const std::vector<Case> cases{
        {"FIFO", fifo, false, true},
        {"directory", [](const QString& path) { ASSERT_TRUE(QDir().mkpath(path)); }, false, false},
        {"link to a device", [](const QString& path) { ASSERT_TRUE(QFile::link("/dev/null", path)); }, false, true},
        {"FIFO as the backup", fifo, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        korvalen::testing::LogCapture log;
        QTemporaryDir scratch;
        const QString where = scratch.path() + "/Korvalen AI";
        SessionPersistence persistence(where);
        ASSERT_TRUE(QDir().mkpath(where));
        const QString odd = c.isBackup ? persistence.backupPath() : persistence.historyPath();
        const QString other = c.isBackup ? persistence.historyPath() : persistence.backupPath();
        const std::vector<AIBenchmarkSession> saved{sampleSession(1), sampleSession(2)};
        const bool readable = c.isBackup || c.withBackup;
        if (readable) writeAll(other, QByteArray::fromStdString(toJSON(saved).dump()));
        c.make(odd);
        struct stat before {};
        ASSERT_EQ(::lstat(QFile::encodeName(odd), &before), 0);
        const QStringList filesBefore = QDir(where).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);

        SessionPersistence launched(where);
        auto loading = std::async(std::launch::async, [&] { return launched.loadReport(); });
        if (loading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            // Lets a reader blocked in open() go, so that the test can end.
            const int fd = ::open(QFile::encodeName(odd), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
            loading.wait();
            ADD_FAILURE() << "loading blocked";
            continue;
        }
        const SessionPersistence::LoadReport report = loading.get();
        EXPECT_EQ(report.unreadable, c.isBackup ? "" : "not a regular file");
        EXPECT_EQ(report.fromBackup, c.withBackup);
        EXPECT_EQ(report.sessions, readable ? saved : std::vector<AIBenchmarkSession>{});
        EXPECT_EQ(launched.save({sampleSession(0)}), c.isBackup) << "never written over, whichever it is";

        struct stat after {};
        ASSERT_EQ(::lstat(QFile::encodeName(odd), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(QDir(where).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System), filesBefore);
        EXPECT_TRUE(log.contains("HISTORY_UNREADABLE file=" + odd.toStdString() + " reason=not-a-file"));
    }
}

// Sessions are parsed one by one, several at a time: the file must still be read exactly as one
// parse of the whole text reads it, malformed texts included.
TEST_F(SessionPersistenceTest, TheHistoryReadsAsAParseOfTheWholeTextWould)
{
    const std::string a = toJSON(sampleSession(1)).dump(), b = toJSON(sampleSession(2)).dump();
    nlohmann::json tricky = toJSON(sampleSession(3));
    tricky["note from a newer version"] = {"a,]}\"[\\", {{"k", {1, {2, "]"}}}}};
    const std::string c = tricky.dump(2);
    const std::string bom = "\xEF\xBB\xBF";
    // Large enough to be read on several threads, with the session that does not decode in the middle.
    AIBenchmarkSession big = sampleSession(4);
    big.results[0].latencySamplesMS = std::vector<double>(150'000, 0.1234567890123);
    nlohmann::json bad = toJSON(big);
    bad["mode"] = "Unknown Mode";
    const std::string large = "[" + toJSON(big).dump() + "," + bad.dump() + "," + toJSON(big).dump() + "]";
    for (const std::string& text :
         {"[" + a + "," + b + "]", bom + "[" + a + "]", " \n[ " + a + " ,\t" + c + " ]\r\n", std::string("[ ]"),
          "[" + c + "]", large, "[" + a + ",]", "[," + a + "]", "[" + a + " " + b + "]", "[" + a + "]]", "[" + a,
          "[" + a + "] x", "[" + bom + a + "]", "[" + a + "," + bom + b + "]", "{\"sessions\": [" + a + "]}",
          std::string(""), "[" + a.substr(0, a.size() - 1) + "]", "[" + a + "}", "[\"" + a + "]"}) {
        SCOPED_TRACE(text.substr(0, 60));
        QTemporaryDir scratch;
        const QString where = scratch.path() + "/Korvalen AI";
        SessionPersistence persistence(where);
        ASSERT_TRUE(QDir().mkpath(where));
        writeAll(persistence.historyPath(), QByteArray::fromStdString(text));

        const nlohmann::json whole = nlohmann::json::parse(text, nullptr, false);
        const SessionPersistence::LoadReport report = persistence.loadReport();
        if (!whole.is_array()) {
            EXPECT_TRUE(report.sessions.empty());
            EXPECT_EQ(readAll(report.quarantinedTo).toStdString(), text) << "set aside as malformed";
            continue;
        }
        std::vector<AIBenchmarkSession> expected;
        int skipped = 0;
        for (std::size_t i = 0; i < whole.size(); ++i) {
            try {
                expected.push_back(sessionFromJSON(whole[i]));
            } catch (const JSONDecodingError&) {
                ++skipped;
            }
        }
        EXPECT_EQ(report.sessions, expected);
        EXPECT_EQ(report.skippedSessions, skipped);
    }
}

// A full disk, as the process sees it: the file may not grow past a few bytes.
TEST_F(SessionPersistenceTest, ASaveThatCannotBeWrittenInFullFailsAndKeepsTheFileItWouldReplace)
{
    korvalen::testing::LogCapture log;  // the logger writes to no file meanwhile
    SessionPersistence persistence(folder());
    ASSERT_TRUE(persistence.save({sampleSession(1)}));
    const QByteArray before = readAll(persistence.historyPath());

    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit previous = limit;
    limit.rlim_cur = 512;
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const bool saved = persistence.save({sampleSession(0), sampleSession(1)});
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(saved);
    EXPECT_EQ(readAll(persistence.historyPath()), before);
    EXPECT_EQ(QDir(folder()).entryList(QDir::Files | QDir::Hidden, QDir::Name), QStringList({"history.json"}))
        << "the partial file is removed, and no backup made for a save that did not happen";
    EXPECT_EQ(log.events("HISTORY_SAVE_FAILED reason=write").size(), 1u);
}

TEST_F(SessionPersistenceTest, LoadKeepsAtMostTheNewestTwentySessions)
{
    SessionPersistence persistence(folder());
    std::vector<AIBenchmarkSession> many;
    for (int i = 0; i < 23; ++i) many.push_back(sampleSession(i, {AIWorkloadID::matrixFP32}));
    ASSERT_TRUE(persistence.save(many));
    const auto loaded = persistence.load();
    ASSERT_EQ(loaded.size(), 20u);
    EXPECT_EQ(loaded.front(), many.front());
    EXPECT_EQ(loaded.back(), many[19]);
}

TEST_F(SessionPersistenceTest, DefaultFolderIsTheApplicationDataFolder)
{
    EXPECT_TRUE(SessionPersistence::defaultFolder().endsWith("/Korvalen AI"));
}

}  // namespace
