// A stand-in for the `llama-server` executable: accepts the flags the model manager passes, refuses
// a missing model file as the real engine does, and serves the loopback chat API. Behaviour comes
// from the environment, so a test can set it for the process the manager starts:
//   KORVALEN_STANDIN_ANSWER         normal, or an answer's name (StandInLlamaServer::answerFromName)
//   KORVALEN_STANDIN_HEALTHY_AFTER_MS  "/health" answers 503 "Loading model" until then
//   KORVALEN_STANDIN_MODELS_AFTER_MS   "/v1/models" likewise
//   KORVALEN_STANDIN_IGNORE_TERM    1: ignore SIGTERM (only a kill ends it)
//   KORVALEN_STANDIN_TERM_LINGER_MS ends that long after SIGTERM rather than at once
//   KORVALEN_STANDIN_ARGS_FILE      the command line and LLAMA_CACHE are written there, one a line
//   KORVALEN_STANDIN_CLOSE          1: close every connection after its first answer

#include "StandInLlamaServer.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <sys/time.h>

#include <csignal>
#include <cstdio>

namespace {

int lingerMs = 0;

// Ends the process `lingerMs` later, by SIGALRM's default action: like a server that finishes
// its work before it goes.
void lingerThenEnd(int)
{
    itimerval timer{};
    timer.it_value.tv_sec = lingerMs / 1000;
    timer.it_value.tv_usec = (lingerMs % 1000) * 1000;
    ::setitimer(ITIMER_REAL, &timer, nullptr);
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QString host = "127.0.0.1";
    QString model;
    QString alias = "local-model";
    quint16 port = 8080;
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == "--host")
            host = args[i + 1];
        else if (args[i] == "--port")
            port = static_cast<quint16>(args[i + 1].toUInt());
        else if (args[i] == "-m" || args[i] == "--model")
            model = args[i + 1];
        else if (args[i] == "--alias" || args[i] == "-a")
            alias = args[i + 1];
    }
    lingerMs = qEnvironmentVariable("KORVALEN_STANDIN_TERM_LINGER_MS").toInt();
    if (qEnvironmentVariable("KORVALEN_STANDIN_IGNORE_TERM") == "1")
        std::signal(SIGTERM, SIG_IGN);
    else if (lingerMs > 0)
        std::signal(SIGTERM, lingerThenEnd);
    const QString argsFile = qEnvironmentVariable("KORVALEN_STANDIN_ARGS_FILE");
    if (!argsFile.isEmpty()) {
        QFile file(argsFile);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            file.write(
                (args.mid(1).join('\n') + "\nLLAMA_CACHE=" + qEnvironmentVariable("LLAMA_CACHE") + "\n").toUtf8());
        }
    }
    if (model.isEmpty() || !QFileInfo(model).isFile()) {
        std::fprintf(stderr, "error: failed to load model '%s'\n", model.toUtf8().constData());
        return 1;
    }

    korvalen::test::StandInLlamaServer server;
    server.behaviour.alias = alias;
    server.behaviour.answer =
        korvalen::test::StandInLlamaServer::answerFromName(qEnvironmentVariable("KORVALEN_STANDIN_ANSWER"));
    server.behaviour.healthyAfterMs = qEnvironmentVariable("KORVALEN_STANDIN_HEALTHY_AFTER_MS").toInt();
    server.behaviour.modelsAfterMs = qEnvironmentVariable("KORVALEN_STANDIN_MODELS_AFTER_MS").toInt();
    server.behaviour.closeEveryConnection = qEnvironmentVariable("KORVALEN_STANDIN_CLOSE") == "1";
    if (!server.listen(port, host)) {
        std::fprintf(stderr, "error: couldn't bind HTTP server socket, hostname: %s, port: %u\n",
                     host.toUtf8().constData(), port);
        return 1;
    }
    // Like the real engine, progress goes to standard error and the address to standard output.
    std::fprintf(stderr, "stand-in llama-server: model loaded\n");
    std::printf("stand-in llama-server listening on http://%s:%u\n", host.toUtf8().constData(), server.port());
    std::fflush(stdout);
    return app.exec();
}
