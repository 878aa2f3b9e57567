// Prints the HTTP client's loopback download rate for 6 parallel
// 100,000,000-byte transfers against the local server in this process, and
// the client's CPU time per gigabyte. The client's CPU is its I/O thread's
// (every callback runs there), read from /proc by thread name, so the
// server's threads are not counted. With --upload it also prints the same
// for 4 parallel 50,000,000-byte uploads. Figures only: nothing here passes
// or fails.
//   bench_loopback_download [rounds] [--upload]
#include "httpsession.h"
#include "speedtestserver.h"

#include <QByteArray>
#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace std::chrono;

namespace {
constexpr const char *kIoThreadName = "quorvel-http";

class Counter final : public TransferObserver {
public:
    ResponseDisposition onResponse(TransferId, long status) override
    {
        if (status != 200)
            std::fprintf(stderr, "status %ld\n", status);
        return ResponseDisposition::allow;
    }
    void onDataReceived(TransferId, std::size_t bytes) override { m_bytes += std::int64_t(bytes); }
    void onBodySent(TransferId, std::int64_t sent, std::int64_t, std::int64_t) override { m_bytes += sent; }
    void onComplete(TransferId, const std::optional<HttpError> &error) override
    {
        std::lock_guard lock(m_mutex);
        if (error)
            std::fprintf(stderr, "transfer failed: %s\n", error->what());
        ++m_done;
        m_cv.notify_all();
    }
    // Waits until `count` transfers completed since the last reset (bounded).
    bool wait(int count)
    {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, 300s, [&] { return m_done >= count; });
    }
    std::int64_t reset()
    {
        std::lock_guard lock(m_mutex);
        m_done = 0;
        return std::exchange(m_bytes, 0); // only the I/O thread writes, and it is idle now
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_done = 0;
    std::int64_t m_bytes = 0;
};

// CPU seconds used so far by this process's threads with the given name.
double threadCpuSeconds(const char *name)
{
    double total = 0;
    DIR *dir = opendir("/proc/self/task");
    if (!dir)
        return 0;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string base = std::string("/proc/self/task/") + entry->d_name;
        std::string comm;
        std::getline(std::ifstream(base + "/comm"), comm);
        if (comm != name)
            continue;
        unsigned long long runNs = 0;
        if (std::ifstream(base + "/schedstat") >> runNs) {
            total += double(runNs) / 1e9;
            continue;
        }
        // No scheduler statistics: utime and stime from stat, in clock ticks.
        std::string stat;
        std::getline(std::ifstream(base + "/stat"), stat);
        const auto afterName = stat.rfind(')');
        if (afterName == std::string::npos)
            continue;
        unsigned long long utime = 0, stime = 0;
        if (std::sscanf(stat.c_str() + afterName + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
                        &utime, &stime) == 2)
            total += double(utime + stime) / double(sysconf(_SC_CLK_TCK));
    }
    closedir(dir);
    return total;
}

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Round {
    double mbps = 0, clientCpuPerGB = 0, processCpuPerGB = 0;
};

Round runRound(HttpSession &session, Counter &counter, const std::string &url, bool upload,
               const QByteArray &body, int parallel)
{
    std::vector<HttpTransfer> transfers;
    for (int i = 0; i < parallel; ++i) {
        HttpRequest request;
        request.url = url;
        if (upload) {
            request.method = "POST";
            request.headers = {{"Content-Type", "application/octet-stream"}};
            transfers.push_back(session.uploadTransfer(request, body));
        } else {
            transfers.push_back(session.dataTransfer(request));
        }
    }
    counter.reset();
    const double client0 = threadCpuSeconds(kIoThreadName);
    const double process0 = processCpuSeconds();
    const auto start = steady_clock::now();
    for (const auto &t : transfers)
        t.resume();
    if (!counter.wait(parallel))
        std::fprintf(stderr, "gave up waiting for the transfers\n");
    const double seconds = duration<double>(steady_clock::now() - start).count();
    const double gb = double(counter.reset()) / 1e9;
    Round r;
    r.mbps = gb * 8000 / seconds;
    r.clientCpuPerGB = (threadCpuSeconds(kIoThreadName) - client0) / gb;
    r.processCpuPerGB = (processCpuSeconds() - process0) / gb;
    return r;
}

void report(const char *what, const std::vector<Round> &rounds)
{
    for (std::size_t i = 0; i < rounds.size(); ++i)
        std::printf("%s round %zu: %8.0f Mbit/s, client CPU %.3f s/GB (whole process %.3f s/GB)\n", what,
                    i + 1, rounds[i].mbps, rounds[i].clientCpuPerGB, rounds[i].processCpuPerGB);
    std::vector<Round> sorted = rounds;
    std::sort(sorted.begin(), sorted.end(), [](const Round &a, const Round &b) { return a.mbps < b.mbps; });
    const Round &median = sorted[sorted.size() / 2];
    std::printf("%s median: %.0f Mbit/s, client CPU %.3f s/GB\n", what, median.mbps, median.clientCpuPerGB);
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    int rounds = 3;
    bool upload = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--upload") == 0)
            upload = true;
        else
            rounds = std::max(1, std::atoi(argv[i]));
    }

    SpeedTestServer::Options options;
    SpeedTestServer server(options);
    if (!server.start()) {
        std::fprintf(stderr, "server: %s\n", server.errorString().c_str());
        return 1;
    }
    auto counter = std::make_shared<Counter>();
    auto session = HttpSession::create({20s, 6, counter});

    std::vector<Round> down;
    for (int i = 0; i < rounds; ++i)
        down.push_back(runRound(*session, *counter, server.url() + "/__down?bytes=100000000", false, {}, 6));
    report("download 6 x 100 MB", down);

    if (upload) {
        const QByteArray body(50'000'000, '\x5a');
        std::vector<Round> up;
        for (int i = 0; i < rounds; ++i)
            up.push_back(runRound(*session, *counter, server.url() + "/__up", true, body, 4));
        report("upload 4 x 50 MB", up);
    }
    return 0;
}
