#pragma once

#include <QString>

#include <memory>

class QLockFile;

namespace korvalen {

// One running instance owns the data folder: two would each save their own history list over
// the other's and drop its sessions. The lock is a file in the folder, held until destruction; a
// lock left by a process that no longer runs is taken over.
class InstanceLock {
public:
    enum class Outcome { acquired, heldByAnother, unavailable };

    explicit InstanceLock(QString folder);
    ~InstanceLock();

    // Never waits. `unavailable` means the folder cannot hold a lock file (read-only, missing
    // rights): the caller may go on, as nothing can be saved there either.
    Outcome tryAcquire();
    QString lockPath() const;

private:
    QString folder_;
    std::unique_ptr<QLockFile> lock_;
};

}  // namespace korvalen
