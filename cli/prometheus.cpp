#include "prometheus.h"

#include "atomicfile.h"

#include <QFile>
#include <QFileInfo>

#include <charconv>
#include <cmath>
#include <cstring>
#include <span>

namespace Prometheus {

namespace {

// The figures of a finished test, one row a sample, each a field of the
// record by its key, scaled to the metric's base unit; the rows of one
// metric stay together, its HELP and TYPE lines going before the first. A
// field the result does not hold (an optional one) writes no sample.
struct Figure {
    const char *name;
    const char *help; // on a metric's first row
    const char *label; // beside server, as label="value"; null: none
    const char *field;
    double scale;
};

constexpr double bytesPerMegabit = 1e6 / 8, secondsPerMillisecond = 1e-3;

constexpr Figure figures[] = {
    {"quorvel_download_bytes_per_second", "Download throughput of the last successful test.", nullptr, "download",
     bytesPerMegabit},
    {"quorvel_upload_bytes_per_second", "Upload throughput of the last successful test.", nullptr, "upload",
     bytesPerMegabit},
    {"quorvel_latency_seconds", "Round-trip time of a tiny request in the last successful test.", "stat=\"median\"",
     "latencyMedian", secondsPerMillisecond},
    {"quorvel_latency_seconds", nullptr, "stat=\"min\"", "latencyMin", secondsPerMillisecond},
    {"quorvel_latency_seconds", nullptr, "stat=\"max\"", "latencyMax", secondsPerMillisecond},
    {"quorvel_jitter_seconds", "Mean change between consecutive round-trip times in the last successful test.",
     nullptr, "jitter", secondsPerMillisecond},
    {"quorvel_loaded_latency_seconds",
     "Median round-trip time of a tiny request while the last successful test's transfers ran.",
     "direction=\"download\"", "downloadLatency", secondsPerMillisecond},
    {"quorvel_loaded_latency_seconds", nullptr, "direction=\"upload\"", "uploadLatency", secondsPerMillisecond},
};

QByteArray number(double value)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    char text[40];
    return QByteArray(text, std::to_chars(text, text + sizeof text, value).ptr - text);
}

QByteArray escaped(const QString &labelValue)
{
    return labelValue.toUtf8().replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
}

class Writer {
public:
    explicit Writer(const QString &server) : m_server("server=\"" + escaped(server) + '"') {}

    void sample(const char *name, const char *help, const char *label, double value)
    {
        if (!m_family || std::strcmp(m_family, name) != 0)
            m_out.append("# HELP ").append(name).append(' ').append(help).append("\n# TYPE ").append(name).append(" gauge\n");
        m_family = name;
        m_out.append(name).append('{').append(m_server);
        if (label)
            m_out.append(',').append(label);
        m_out.append("} ").append(number(value)).append('\n');
    }

    QByteArray text() const { return m_out; }

private:
    QByteArray m_server;
    QByteArray m_out;
    const char *m_family = nullptr;
};

// A quoted label value from at, its escapes undone; at ends past the quote.
std::optional<QByteArray> quoted(const QByteArray &line, qsizetype &at)
{
    if (at >= line.size() || line[at] != '"')
        return std::nullopt;
    QByteArray value;
    for (++at; at < line.size(); ++at) {
        if (line[at] == '"') {
            ++at;
            return value;
        }
        if (line[at] == '\\' && ++at < line.size())
            value.append(line[at] == 'n' ? '\n' : line[at]);
        else
            value.append(line[at]);
    }
    return std::nullopt;
}

} // namespace

QByteArray text(const QString &server, const TestResult *result, std::optional<double> lastSuccess)
{
    Writer out(server);
    const char *help = nullptr;
    for (const Figure &f : result ? std::span(figures) : std::span<const Figure>()) {
        help = f.help ? f.help : help;
        if (const auto value = ResultCodec::number(*result, f.field))
            out.sample(f.name, help, f.label, *value * f.scale);
    }
    out.sample("quorvel_last_test_success", "1 if the last test finished, 0 if it failed.", nullptr, result ? 1 : 0);
    if (result)
        lastSuccess = double(result->date.toSecsSinceEpoch());
    if (lastSuccess)
        out.sample("quorvel_last_success_timestamp_seconds",
                   "When the last successful test finished, in seconds since the Unix epoch.", nullptr, *lastSuccess);
    return out.text();
}

std::optional<double> lastSuccess(const QByteArray &text, const QString &server)
{
    static const QByteArray name = "quorvel_last_success_timestamp_seconds{";
    const QByteArray wanted = server.toUtf8();
    for (const QByteArray &line : text.split('\n')) {
        if (!line.startsWith(name))
            continue;
        qsizetype at = name.size();
        bool ours = false;
        while (at < line.size() && line[at] != '}') {
            const qsizetype equals = line.indexOf('=', at);
            if (equals < 0)
                return std::nullopt;
            const QByteArray key = line.mid(at, equals - at).trimmed();
            at = equals + 1;
            const auto value = quoted(line, at);
            if (!value)
                return std::nullopt;
            ours = ours || (key == "server" && *value == wanted);
            if (at < line.size() && line[at] == ',')
                ++at;
        }
        bool ok = false;
        const double value = line.mid(at + 1).trimmed().split(' ').value(0).toDouble(&ok);
        if (ours && ok)
            return value;
    }
    return std::nullopt;
}

QString write(const QString &path, const QString &server, const TestResult *result)
{
    std::optional<double> last;
    // Only a regular file: reading a pipe would wait for a writer.
    if (QFile previous(path); !result && QFileInfo(path).isFile() && previous.open(QIODevice::ReadOnly))
        last = lastSuccess(previous.read(1 << 20), server);
    return writeFileAtomically(path, text(server, result, last));
}

} // namespace Prometheus
