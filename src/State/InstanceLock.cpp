#include "State/InstanceLock.h"

#include "Model/KorvalenAILogger.h"

#include <QDir>
#include <QLockFile>

namespace korvalen {

InstanceLock::InstanceLock(QString folder) : folder_(std::move(folder))
{}

InstanceLock::~InstanceLock() = default;

QString InstanceLock::lockPath() const
{
    return folder_ + "/instance.lock";
}

InstanceLock::Outcome InstanceLock::tryAcquire()
{
    if (lock_ && lock_->isLocked()) return Outcome::acquired;
    if (!QDir().mkpath(folder_)) {
        KorvalenAILogger::warning("APP_INSTANCE_LOCK_UNAVAILABLE reason=folder path=" + folder_.toStdString());
        return Outcome::unavailable;
    }
    lock_ = std::make_unique<QLockFile>(lockPath());
    // Never stale by age: a long-running instance keeps its folder. A lock whose process is gone
    // is recognised as stale all the same.
    lock_->setStaleLockTime(0);
    if (lock_->tryLock(0)) return Outcome::acquired;
    const QLockFile::LockError error = lock_->error();
    if (error == QLockFile::LockFailedError) return Outcome::heldByAnother;
    KorvalenAILogger::warning("APP_INSTANCE_LOCK_UNAVAILABLE reason=" +
                              std::string(error == QLockFile::PermissionError ? "permission" : "unknown") +
                              " path=" + lockPath().toStdString());
    return Outcome::unavailable;
}

}  // namespace korvalen
