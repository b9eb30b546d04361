#include "LocalModel/EngineProcessGroup.h"

#include "support/FixtureTree.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <list>
#include <memory>
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
// 127.0.0.1:18080; the tables are read once before the descriptors and once after. Where the
// engine's main thread has ended, its descriptors show only through its other threads, each of
// whose stat reads one way at its first read and another from then on.
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
    struct Thread {
        const char* id;
        const char* first;  // "" while it cannot be read
        const char* then;
        bool descriptors;    // false: it let them go as it ended
        bool folder = true;  // false: its fd/ folder went too
    };
    auto stat = [](const std::string& id, char state, int threads) {
        return id + " (llama-server) " + state + " 1 700 700 0 -1 4194560 0 0 0 0 0 0 0 0 20 0 " +
               std::to_string(threads) + " 0 0";
    };
    const std::string living701 = stat("701", 'S', 3);
    const std::string living702 = stat("702", 'S', 3);
    struct Case {
        const char* name;
        std::string first;
        std::string then;
        Holder holder;
        std::vector<Thread> threads = {};  // the engine's main thread ended: its other threads
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
        {"the engine's other thread could not be read at the first look, and lives",
         ours,
         ours,
         Holder::group,
         {{"701", "", living701.c_str(), true}}},
        {"the engine's thread ended while its descriptors were read, and another lives",
         ours,
         ours,
         Holder::group,
         {{"701", living701.c_str(), "", false}, {"702", "", living702.c_str(), true}}},
        {"the engine's descriptors never showed whole: an empty fd/ folder",
         ours,
         ours,
         Holder::nobody,
         {{"701", living701.c_str(), living701.c_str(), false}}},
        {"the engine's descriptors never showed whole: no fd/ folder",
         listener + line(loopback, client, "01", "333"),
         listener + line(loopback, client, "01", "333"),
         Holder::nobody,
         {{"701", living701.c_str(), living701.c_str(), false, false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::FixtureTree tree;
        tree.write("proc/net/tcp6", heading);
        tree.write("proc/800/stat", "800 (other) S 1 800 800 0 -1").makeFolder("proc/800/fd");
        fs::create_symlink("socket:[333]", tree.root() / "proc/800/fd/3");
        tree.makeFolder("proc/700/fd");
        std::list<ChangingFile> threadStats;
        if (c.threads.empty()) {
            tree.write("proc/700/stat", stat("700", 'S', 1));
            fs::create_symlink("socket:[111]", tree.root() / "proc/700/fd/3");
            fs::create_symlink("socket:[112]", tree.root() / "proc/700/fd/4");
        } else {
            const int threads = static_cast<int>(c.threads.size()) + 1;
            tree.write("proc/700/stat", stat("700", 'Z', threads))
                .write("proc/700/task/700/stat", stat("700", 'Z', threads));
        }
        for (const Thread& thread : c.threads) {
            const fs::path folder = tree.root() / "proc/700/task" / thread.id;
            fs::create_directories(thread.folder ? folder / "fd" : folder);
            threadStats.emplace_back(folder / "stat", thread.first, thread.then);
            if (!thread.descriptors) continue;
            fs::create_symlink("socket:[111]", folder / "fd/3");
            fs::create_symlink("socket:[112]", folder / "fd/4");
        }
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

// Each thread lives `life` microseconds, starts the next and ends: at no instant is the process
// without a living thread, though any one thread a look picks may be gone before it is read.
void* startTheNextAndEnd(void* life)
{
    std::this_thread::sleep_for(std::chrono::microseconds(reinterpret_cast<std::intptr_t>(life)));
    pthread_attr_t detached;
    ::pthread_attr_init(&detached);
    ::pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
    pthread_t next;
    // Bounded: a process that cannot start a thread for a second lets its relay end.
    for (int tries = 0; tries < 10000 && ::pthread_create(&next, &detached, startTheNextAndEnd, life) != 0; ++tries)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    return nullptr;
}

void* holdOn(void*)
{
    while (true) ::pause();
}

// A process of the group whose main thread ended while its threads come and go holds the connection
// it accepted, and lives, at every look. A look may find no thread that lives through it and decide
// nothing, but never calls the connection another's; some looks find it the group's.
TEST(EngineProcessGroup, AProcessLivesOnThroughThreadsThatComeAndGo)
{
    struct Case {
        const char* name;
        std::intptr_t life;  // of each relaying thread, in microseconds
        int descriptor;      // where the connection is held; -1: where it was accepted
        bool holder;         // a thread that lives throughout beside the relay
    };
    const Case cases[] = {
        {"threads living 50 us", 50, -1, false},
        {"threads starting the next at once, the connection on descriptor 900", 0, 900, false},
        {"a thread living throughout, the connection on descriptor 0", 0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(listener, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(listener, 1), 0);
        ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
        int ready[2];
        ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
        const pid_t parent = ::getpid();
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::setpgid(0, 0);
            // Dies with the test, even one killed in the middle.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(1);
            int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) ::_exit(1);
            if (c.descriptor >= 0 && ::dup3(connection, c.descriptor, O_CLOEXEC) == c.descriptor) {
                ::close(connection);
                connection = c.descriptor;
            }
            pthread_t holding;
            if (c.holder && ::pthread_create(&holding, nullptr, holdOn, nullptr) != 0) ::_exit(1);
            startTheNextAndEnd(reinterpret_cast<void*>(c.life));
            ::write(ready[1], "", 1);
            ::syscall(SYS_exit, 0);  // this thread alone, with no unwinding through the test's frames
        }
        ::setpgid(child, child);  // whichever of the two runs first
        std::shared_ptr<void> end(nullptr, [child](void*) {
            ::kill(-child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        });
        ::close(listener);
        ::close(ready[1]);
        const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        sockaddr_in clientAddress{};
        length = sizeof clientAddress;
        ASSERT_EQ(::getsockname(client, reinterpret_cast<sockaddr*>(&clientAddress), &length), 0);
        char byte;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]);
        // Until the main thread has ended, the look goes the ordinary way.
        const fs::path stat = "/proc/" + std::to_string(child) + "/stat";
        for (int waited = 0; waited < 2000; ++waited) {
            std::string text;
            std::getline(std::ifstream(stat), text);
            if (text.find(") Z ") != std::string::npos) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }

        const std::uint16_t port = ntohs(address.sin_port);
        const std::uint16_t clientPort = ntohs(clientAddress.sin_port);
        int dead = 0;
        int missing = 0;
        int another = 0;
        int ours = 0;
        // Looks go on past 200 until one finds the group, within a bound no scheduling reaches.
        for (int look = 0; look < 200 || (ours == 0 && look < 20000); ++look) {
            dead += !EngineProcessGroup::hasLiveMember(child);
            missing += EngineProcessGroup::liveMembers(child) != std::vector<pid_t>{child};
            const auto holder = EngineProcessGroup::connectionHolder(child, port, clientPort);
            another += holder == EngineProcessGroup::Holder::another;
            ours += holder == EngineProcessGroup::Holder::group;
        }
        EXPECT_EQ(dead, 0);
        EXPECT_EQ(missing, 0);
        EXPECT_EQ(another, 0);
        EXPECT_GT(ours, 0);
        ::close(client);
    }
}

}  // namespace
}  // namespace korvalen
