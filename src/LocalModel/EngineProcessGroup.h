#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <vector>

namespace korvalen {

// The managed engine's process group: the engine leads a group of its own, dies with the
// application, and a watcher beside it turns the application's death into SIGKILL for the group.
namespace EngineProcessGroup {

// Runs in QProcess's child right before the exec of the engine (async-signal-safe).
void prepareChild(pid_t application);
// Whether a process of the group still lives; zombies are dead, whoever has yet to reap them.
bool hasLiveMember(pid_t group);
// The live processes of the group.
std::vector<pid_t> liveMembers(pid_t group);
// Who holds the server's end of the loopback connection from 127.0.0.1:<clientPort> to
// 127.0.0.1:<port>, read from <root>/proc: nobody while no process does (not accepted yet, or
// closed already, even while it was looked at), the group when a live process of it does, else
// another program. Another listener bound to 127.0.0.1:<port> itself (beside ours, sharing the
// port) also makes it another program's: connections are spread between them. Only sockets still
// there once the group's descriptors were read are another program's.
enum class Holder { nobody, group, another };
Holder connectionHolder(pid_t group, std::uint16_t port, std::uint16_t clientPort,
                        const std::filesystem::path& root = "/");

}  // namespace EngineProcessGroup

}  // namespace korvalen
