#include "Model/AIRecordsJSON.h"
#include "State/SessionPersistence.h"
#include "support/SessionBuilders.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <nlohmann/json.hpp>

using namespace korvalen;
using korvalen::testing::sampleSession;

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QStringList folderFiles(const QString& folder) { return QDir(folder).entryList(QDir::Files, QDir::Name); }

struct SessionPersistenceTest : ::testing::Test {
    QTemporaryDir dir;
    QString folder() const { return dir.path() + "/Korvalen AI"; }
};

TEST_F(SessionPersistenceTest, SavedHistoryLoadsBackEqualAndThePreviousFileBecomesTheBackup)
{
    SessionPersistence persistence(folder());
    EXPECT_TRUE(persistence.load().empty()) << "no file yet is an empty history, not an error";

    const std::vector<AIBenchmarkSession> first{sampleSession(1), sampleSession(2)};
    ASSERT_TRUE(persistence.save(first));  // also creates the folder
    const QByteArray firstBytes = readAll(persistence.historyPath());
    EXPECT_EQ(SessionPersistence(folder()).load(), first);

    std::vector<AIBenchmarkSession> second = first;
    second.insert(second.begin(), sampleSession(0));
    ASSERT_TRUE(persistence.save(second));
    EXPECT_EQ(SessionPersistence(folder()).load(), second);
    EXPECT_EQ(readAll(persistence.backupPath()), firstBytes);
    EXPECT_EQ(folderFiles(folder()), QStringList({"history.backup.json", "history.json"}));
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
    EXPECT_EQ(SessionPersistence(folder()).load(), older) << "the restored history is back in place";

    ASSERT_TRUE(persistence.save(newer));
    EXPECT_EQ(SessionPersistence(folder()).load(), newer);
    EXPECT_EQ(readAll(persistence.corruptPath()), garbage) << "the quarantined copy is never overwritten";
}

TEST_F(SessionPersistenceTest, AnEarlierQuarantinedFileIsKeptWhenAnotherGoesBad)
{
    SessionPersistence persistence(folder());
    QDir().mkpath(folder());
    writeAll(persistence.corruptPath(), "first bad file");
    writeAll(persistence.historyPath(), "second bad file");

    // Saving over an unreadable file puts it aside first, even without a load before.
    ASSERT_TRUE(persistence.save({sampleSession(1)}));
    EXPECT_EQ(readAll(persistence.corruptPath()), "first bad file");
    QStringList quarantined = QDir(folder()).entryList({"history.corrupt*.json"}, QDir::Files);
    ASSERT_EQ(quarantined.size(), 2);
    quarantined.removeAll("history.corrupt.json");
    EXPECT_EQ(readAll(folder() + "/" + quarantined.front()), "second bad file");
    EXPECT_EQ(persistence.load().size(), 1u);
}

TEST_F(SessionPersistenceTest, ASessionThatDoesNotDecodeIsSkippedWhileTheOthersLoad)
{
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
}

TEST_F(SessionPersistenceTest, LoadKeepsAtMostTheNewestTwentySessions)
{
    SessionPersistence persistence(folder());
    std::vector<AIBenchmarkSession> many;
    for (int i = 0; i < 23; ++i)
        many.push_back(sampleSession(i, {AIWorkloadID::matrixFP32}));
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
