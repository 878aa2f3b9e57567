// quorvel-server: the measurement server as a program of its own, for tests,
// benchmarks and measuring a LAN.
#include "speedtestserver.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <charconv>
#include <functional>
#include <iostream>
#include <optional>
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

Options:
  -h, --help           Show this help and exit.
  -v, --version        Show the version and exit.
  --host <HOST>        Address to listen on (default 127.0.0.1; 0.0.0.0 for a
                       LAN).
  --port <PORT>        Port to listen on, 0 for any free one (default 8080).
  --cert <FILE>        TLS certificate (PEM); with --key, serves https.
  --key <FILE>         TLS private key (PEM).
  --throttle <BPS>     At most BPS bytes per second for every body, either way.
  --delay <MS>         Waits MS milliseconds before every response head.
  --threads <N>        Worker threads; each open connection holds one (default
                       64).
  --socket-buffer <B>  Send and receive buffer of every connection in bytes
                       (default 0: the kernel's auto-tuning; with --throttle, a
                       receive buffer of 5 ms of it, at least 16 KiB).

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

// An option that takes a value: its name, and what it does with the value
// (false when the value is refused, then `refusal` says why).
struct ValueOption {
    const char *name;
    const char *refusal;
    std::function<bool(const std::string &)> take;
};

// The same conventions as the other Quorvel programs: --name=VALUE or
// --name VALUE, -h/--help and -v/--version, and on a bad argument the
// reason on standard error and exit status 2. Returns the exit status when
// there is nothing to serve.
std::optional<int> readArguments(int argc, char **argv, SpeedTestServer::Options &options)
{
    const auto number = [](std::int64_t min, std::int64_t max, auto store) {
        return [=](const std::string &text) {
            std::int64_t value = 0;
            if (!parseNumber(text, min, max, value))
                return false;
            store(value);
            return true;
        };
    };
    const ValueOption valued[] = {
        {"--host", "", [&](const std::string &v) { return (options.host = v, true); }},
        {"--port", "takes a number from 0 to 65535",
         number(0, 65535, [&](std::int64_t v) { options.port = int(v); })},
        {"--cert", "", [&](const std::string &v) { return (options.certFile = v, true); }},
        {"--key", "", [&](const std::string &v) { return (options.keyFile = v, true); }},
        {"--throttle", "takes a positive number of bytes per second",
         number(1, INT64_MAX, [&](std::int64_t v) { options.throttleBytesPerSecond = v; })},
        {"--delay", "takes milliseconds, at most 3600000",
         number(0, 3'600'000, [&](std::int64_t v) { options.delay = std::chrono::milliseconds(v); })},
        {"--threads", "takes a number from 1 to 4096", number(1, 4096, [&](std::int64_t v) { options.threads = int(v); })},
        {"--socket-buffer", "takes a number of bytes",
         number(0, INT32_MAX, [&](std::int64_t v) { options.socketBufferBytes = int(v); })},
    };
    bool help = false, version = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            help = true;
            continue;
        }
        if (arg == "-v" || arg == "--version") {
            version = true;
            continue;
        }
        const std::string name(arg.substr(0, arg.find('=')));
        const auto option = std::find_if(std::begin(valued), std::end(valued),
                                         [&](const ValueOption &o) { return name == o.name; });
        if (option == std::end(valued) && !arg.starts_with('-'))
            return fail("Unexpected argument '" + std::string(arg) + "'.");
        if (option == std::end(valued))
            return fail("Unknown option '" + name.substr(std::min(name.find_first_not_of('-'), name.size())) + "'.");
        std::string value;
        if (const auto eq = arg.find('='); eq != std::string_view::npos)
            value = std::string(arg.substr(eq + 1));
        else if (i + 1 < argc)
            value = argv[++i];
        else
            return fail("Missing value after '" + name + "'.");
        if (!option->take(value))
            return fail(name + " " + option->refusal + ".");
    }
    if (options.certFile.empty() != options.keyFile.empty())
        return fail("--cert and --key go together.");
    if (help)
        std::cout << usage;
    else if (version)
        std::cout << "quorvel-server " QUORVEL_VERSION "\n";
    return help || version ? std::optional(0) : std::nullopt;
}

} // namespace

int main(int argc, char **argv)
{
    SpeedTestServer::Options options;
    options.port = 8080;
    if (const auto exitCode = readArguments(argc, argv, options))
        return *exitCode;

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
