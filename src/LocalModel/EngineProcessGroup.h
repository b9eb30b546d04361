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
// Whether a connection to 127.0.0.1:<port> may reach a listening socket that no live process of
// the group holds: another program's server answers there. Reads <root>/proc; false when no
// listener on the port is found at all.
bool anotherProgramListens(pid_t group, std::uint16_t port, const std::filesystem::path& root = "/");

}  // namespace EngineProcessGroup

}  // namespace korvalen
