#include "App/QuitSignalBridge.h"

#include "Model/KorvalenAILogger.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <string>

namespace korvalen {

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int number)
{
    const int saved = errno;
    const char byte = static_cast<char>(number);
    // Non-blocking: when the pipe is full, a request is already waiting to be read.
    [[maybe_unused]] ssize_t written = ::write(signalPipe[0], &byte, 1);
    errno = saved;
}

}  // namespace

QuitSignalBridge::QuitSignalBridge(QObject* parent) : QObject(parent)
{
    if (signalPipe[0] < 0) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) {
            KorvalenAILogger::warning("APP_SIGNAL_BRIDGE_UNAVAILABLE errno=" + std::to_string(errno));
            signalPipe[0] = signalPipe[1] = -1;
            return;
        }
    }
    notifier_ = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &QuitSignalBridge::drain);

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

QuitSignalBridge::~QuitSignalBridge()
{
    if (!notifier_) return;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

void QuitSignalBridge::drain()
{
    char bytes[16];
    ssize_t count;
    while ((count = ::read(signalPipe[1], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < count; ++i) {
            KorvalenAILogger::info("APP_SIGNAL_RECEIVED signal=" + std::to_string(static_cast<int>(bytes[i])));
            emit quitRequested(static_cast<int>(bytes[i]));
        }
    }
}

}  // namespace korvalen
