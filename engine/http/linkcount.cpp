#include "linkcount.h"

#include <algorithm>
#include <cstddef>

#include <linux/tcp.h> // glibc's tcp_info lacks the byte counts
#include <netinet/in.h>
#include <sys/socket.h>

namespace {
// How much of tcp_info the kernel filled in, or 0.
std::size_t readTcpInfo(int socket, tcp_info &info)
{
    socklen_t length = sizeof info;
    return getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 ? length : 0;
}
} // namespace

std::optional<TcpReceived> tcpReceived(int socket)
{
    tcp_info info{};
    if (readTcpInfo(socket, info) < offsetof(tcp_info, tcpi_rcv_ooopack) + sizeof info.tcpi_rcv_ooopack)
        return std::nullopt;
    return TcpReceived{info.tcpi_bytes_received, info.tcpi_data_segs_in, info.tcpi_rcv_ooopack, info.tcpi_rcv_mss};
}

std::optional<std::int64_t> tcpBytesAcked(int socket)
{
    tcp_info info{};
    if (readTcpInfo(socket, info) < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
        return std::nullopt;
    return std::int64_t(info.tcpi_bytes_acked) + std::int64_t(info.tcpi_sacked) * info.tcpi_snd_mss;
}

std::optional<std::uint32_t> tcpRoundTripMicros(int socket)
{
    tcp_info info{};
    if (readTcpInfo(socket, info) < offsetof(tcp_info, tcpi_rtt) + sizeof info.tcpi_rtt)
        return std::nullopt;
    return info.tcpi_rtt;
}

std::int64_t HeldBytes::update(const TcpReceived &now)
{
    // The counters are cumulative; unsigned differences survive their wrap.
    const std::int64_t segments = std::uint32_t(now.dataSegments - m_last.dataSegments);
    const std::int64_t outOfOrder = std::uint32_t(now.outOfOrder - m_last.outOfOrder);
    const std::int64_t inOrder = std::int64_t(now.inOrder - m_last.inOrder);
    m_last = now;
    // At most every arrival counts in full, less what came in order; and no
    // more than the out-of-order ones add.
    m_held = std::max<std::int64_t>(0, std::min(m_held + outOfOrder * now.segmentSize,
                                                 m_held + segments * now.segmentSize - inOrder));
    return m_held;
}
