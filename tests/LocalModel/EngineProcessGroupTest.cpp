#include "LocalModel/EngineProcessGroup.h"

#include "support/FixtureTree.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace korvalen {
namespace {

namespace fs = std::filesystem;

// A file that reads as `first` once and as `then` from the next open on, as a /proc table does
// when a socket closes between two looks. A FIFO serves the first read; the file that replaces it
// is in place before that read can end, so every later open finds it.
class ChangingFile {
public:
    ChangingFile(const fs::path& path, std::string first, const std::string& then)
    {
        const fs::path next = path.string() + ".then";
        std::ofstream(next, std::ios::binary) << then;
        if (::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
        writer_ = std::jthread([path, next, first = std::move(first)](std::stop_token stop) {
            while (!stop.stop_requested()) {
                // Opens only once a reader has: the reader waits in its open meanwhile.
                const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                if (fd < 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    continue;
                }
                ::fcntl(fd, F_SETFL, 0);
                std::error_code renamed;
                fs::rename(next, path, renamed);
                for (std::size_t done = 0; done < first.size();) {
                    const ssize_t n = ::write(fd, first.data() + done, first.size() - done);
                    if (n <= 0) break;
                    done += static_cast<std::size_t>(n);
                }
                ::close(fd);
                return;
            }
        });
    }

private:
    std::jthread writer_;
};

// The engine's group is 700: its listener is socket 111 and it serves connection 112. Socket 333 is
// held by a process of another group. The probe's connection runs from 127.0.0.1:50000 to
// 127.0.0.1:18080; the tables are read once before the descriptors and once after.
TEST(EngineProcessGroup, OnlyWhatIsStillThereAfterTheLookIsAnotherPrograms)
{
    const std::string heading =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
    auto line = [](const char* local, const char* remote, const char* state, const char* inode) {
        return std::string("   0: ") + local + " " + remote + " " + state +
               " 00000000:00000000 00:00000000 00000000     0        0 " + inode + " 1 0000000000000000 100 0 0 10 0\n";
    };
    const char* loopback = "0100007F:46A0";  // 127.0.0.1:18080
    const char* client = "0100007F:C350";    // 127.0.0.1:50000
    const char* none = "00000000:0000";
    const std::string listener = line(loopback, none, "0A", "111");
    const std::string ours = listener + line(loopback, client, "01", "112");
    using EngineProcessGroup::Holder;
    struct Case {
        const char* name;
        std::string first;
        std::string then;
        Holder holder;
    };
    const std::vector<Case> cases = {
        {"our engine closed the connection during the look", listener + line(loopback, client, "01", "114"),
         listener + line(loopback, client, "06", "0"), Holder::nobody},
        {"the connection went away during the look", listener + line(loopback, client, "01", "114"), listener,
         Holder::nobody},
        {"another program serves it to the end", listener + line(loopback, client, "01", "333"),
         listener + line(loopback, client, "01", "333"), Holder::another},
        {"a listener closed during the look beside ours", ours + line(loopback, none, "0A", "115"), ours,
         Holder::group},
        {"another program listens beside ours to the end", ours + line(loopback, none, "0A", "333"),
         ours + line(loopback, none, "0A", "333"), Holder::another},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::FixtureTree tree;
        tree.write("proc/net/tcp6", heading);
        tree.write("proc/700/stat", "700 (llama-server) S 1 700 700 0 -1").makeFolder("proc/700/fd");
        tree.write("proc/800/stat", "800 (other) S 1 800 800 0 -1").makeFolder("proc/800/fd");
        fs::create_symlink("socket:[111]", tree.root() / "proc/700/fd/3");
        fs::create_symlink("socket:[112]", tree.root() / "proc/700/fd/4");
        fs::create_symlink("socket:[333]", tree.root() / "proc/800/fd/3");
        ChangingFile tcp(tree.root() / "proc/net/tcp", heading + c.first, heading + c.then);
        EXPECT_EQ(EngineProcessGroup::connectionHolder(700, 18080, 50000, tree.root()), c.holder);
    }
}

// A process of the group that ended but was not reaped is no member: where nothing reaps orphans
// it would count as the engine for good.
TEST(EngineProcessGroup, AnUnreapedMemberIsNotALiveOne)
{
    int gate[2];
    ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::setpgid(0, 0);
        ::close(gate[1]);
        char byte;
        while (::read(gate[0], &byte, 1) < 0 && errno == EINTR) {}
        ::_exit(0);
    }
    ::setpgid(child, child);  // whichever of the two runs first
    ::close(gate[0]);
    EXPECT_TRUE(EngineProcessGroup::hasLiveMember(child));
    EXPECT_EQ(EngineProcessGroup::liveMembers(child), std::vector<pid_t>{child});

    ::close(gate[1]);
    siginfo_t ended{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOWAIT), 0);  // a zombie now
    EXPECT_FALSE(EngineProcessGroup::hasLiveMember(child));
    EXPECT_TRUE(EngineProcessGroup::liveMembers(child).empty());
    ::waitpid(child, nullptr, 0);
}

}  // namespace
}  // namespace korvalen
