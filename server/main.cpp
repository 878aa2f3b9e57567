// quorvel-server: the measurement server as a program of its own, for tests,
// benchmarks and measuring a LAN.
#include "speedtestserver.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <charconv>
#include <iostream>
#include <string>
#include <string_view>

namespace {

const char usage[] = R"(Usage: quorvel-server [options]
Serves GET /__down?bytes=N (N zero bytes, N at most 100000000000) and
POST /__up (the body is read and discarded, whatever its length) for speed
measurements, GET /.well-known/nq, the configuration a responsiveness
client reads (quorvel-cli --responsiveness), and GET /__rtt?connection=T,
the kernel's round-trip estimate of the plain connection whose downloads
carry the header "Quorvel-Connection: T".

  --host HOST       address to listen on (default 127.0.0.1; 0.0.0.0 for a LAN)
  --port PORT       port to listen on, 0 for any free one (default 8080)
  --cert FILE       TLS certificate (PEM); with --key, serves https
  --key FILE        TLS private key (PEM)
  --throttle BPS    at most BPS bytes per second for every body, either way
  --delay MS        waits MS milliseconds before every response head
  --threads N       worker threads; each open connection holds one (default 64)
  --socket-buffer B send and receive buffer of every connection in bytes
                    (default 0: the kernel's auto-tuning; with --throttle,
                    a receive buffer of 5 ms of it, at least 16 KiB)
  --help            shows this help

Once listening it prints one line, "Listening on URL". SIGINT or SIGTERM
stops it.
)";

int fail(const std::string &message)
{
    std::cerr << "quorvel-server: " << message << "\nTry 'quorvel-server --help'.\n";
    return 2;
}

bool parseNumber(std::string_view text, std::int64_t min, std::int64_t max, std::int64_t &out)
{
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        return false;
    out = value;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    SpeedTestServer::Options options;
    options.port = 8080;

    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << usage;
            return 0;
        }
        std::string name(arg.substr(0, arg.find('=')));
        static const std::string_view known[] = {"--host", "--port", "--cert", "--key",
                                                 "--throttle", "--delay", "--threads",
                                                 "--socket-buffer"};
        if (std::find(std::begin(known), std::end(known), name) == std::end(known))
            return fail("unknown option " + std::string(arg));
        std::string value;
        if (const auto eq = arg.find('='); eq != std::string_view::npos) {
            value = std::string(arg.substr(eq + 1));
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return fail(name + " needs a value");
        }
        std::int64_t number = 0;
        const auto numeric = [&](std::int64_t min, std::int64_t max) {
            return parseNumber(value, min, max, number);
        };
        if (name == "--host") {
            options.host = value;
        } else if (name == "--port") {
            if (!numeric(0, 65535))
                return fail("--port takes a number from 0 to 65535");
            options.port = static_cast<int>(number);
        } else if (name == "--cert") {
            options.certFile = value;
        } else if (name == "--key") {
            options.keyFile = value;
        } else if (name == "--throttle") {
            if (!numeric(1, INT64_MAX))
                return fail("--throttle takes a positive number of bytes per second");
            options.throttleBytesPerSecond = number;
        } else if (name == "--delay") {
            if (!numeric(0, 3'600'000))
                return fail("--delay takes milliseconds, at most 3600000");
            options.delay = std::chrono::milliseconds(number);
        } else if (name == "--threads") {
            if (!numeric(1, 4096))
                return fail("--threads takes a number from 1 to 4096");
            options.threads = static_cast<int>(number);
        } else if (name == "--socket-buffer") {
            if (!numeric(0, INT32_MAX))
                return fail("--socket-buffer takes a number of bytes");
            options.socketBufferBytes = static_cast<int>(number);
        }
    }
    if (options.certFile.empty() != options.keyFile.empty())
        return fail("--cert and --key go together");

    // Every thread inherits this mask; only the main thread takes the signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN); // TLS writes could raise it on a closed connection

    SpeedTestServer server(options);
    if (!server.start()) {
        std::cerr << "quorvel-server: " << server.errorString() << "\n";
        return 1;
    }
    std::cout << "Listening on " << server.url() << std::endl;

    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.stop();
    return 0;
}
