// bench_server: the measurement server (the same SpeedTestServer as
// quorvel-server) that also tells what it served. The bench scripts need the
// sizes of the batches a client ran, and only the server side knows them.
//
// Prints "Listening on URL" once listening. On SIGINT or SIGTERM it stops
// and prints one line per request, in arrival order:
//   METHOD PATH BYTES PORT
// BYTES is the bytes= parameter of a /__down, the body size of anything
// else; PORT is the client's port (equal ports: the same connection).
#include "speedtestserver.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

int usage()
{
    std::fputs("usage: bench_server [--host HOST] [--port PORT] [--delay MS]\n", stderr);
    return 2;
}

bool number(const char *text, long min, long max, long &out)
{
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < min || value > max)
        return false;
    out = value;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    SpeedTestServer::Options options; // records on: that is the point here
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (i + 1 == argc)
            return usage();
        const char *value = argv[++i];
        long n = 0;
        if (arg == "--host")
            options.host = value;
        else if (arg == "--port" && number(value, 0, 65535, n))
            options.port = int(n);
        else if (arg == "--delay" && number(value, 0, 60'000, n))
            options.delay = std::chrono::milliseconds(n);
        else
            return usage();
    }

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr); // before any thread starts

    SpeedTestServer server(options);
    if (!server.start()) {
        std::fprintf(stderr, "bench_server: %s\n", server.errorString().c_str());
        return 1;
    }
    std::printf("Listening on %s\n", server.url().c_str());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.stop();
    for (const RequestRecord &r : server.requests()) {
        const std::string bytes = r.path == "/__down" ? r.param("bytes") : std::to_string(r.bodyBytes);
        std::printf("%s %s %s %d\n", r.method.c_str(), r.path.c_str(), bytes.empty() ? "0" : bytes.c_str(),
                    r.remotePort);
    }
    return 0;
}
