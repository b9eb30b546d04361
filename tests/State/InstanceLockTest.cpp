#include "State/InstanceLock.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

using namespace korvalen;

namespace {

TEST(InstanceLock, OneHolderPerFolderAndALockLeftByADeadProcessIsTakenOver)
{
    QTemporaryDir dir;
    const QString folder = dir.path() + "/Korvalen AI";
    std::optional<InstanceLock> first(std::in_place, folder);
    ASSERT_EQ(first->tryAcquire(), InstanceLock::Outcome::acquired);
    EXPECT_EQ(InstanceLock(folder).tryAcquire(), InstanceLock::Outcome::heldByAnother);
    EXPECT_EQ(InstanceLock(dir.path() + "/elsewhere").tryAcquire(), InstanceLock::Outcome::acquired);

    // The lock as a killed instance leaves it: the same contents, naming a process that is gone.
    QFile held(first->lockPath());
    ASSERT_TRUE(held.open(QIODevice::ReadOnly));
    QByteArray contents = held.readAll();
    held.close();
    first.reset();
    QProcess gone;
    gone.start("true", {});
    ASSERT_TRUE(gone.waitForStarted());
    const qint64 pid = gone.processId();
    ASSERT_TRUE(gone.waitForFinished());
    contents = QByteArray::number(pid) + contents.mid(contents.indexOf('\n'));
    QFile stale(InstanceLock(folder).lockPath());
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.write(contents);
    stale.close();
    EXPECT_EQ(InstanceLock(folder).tryAcquire(), InstanceLock::Outcome::acquired);
}

}  // namespace
