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

std::int64_t HeldBytes::update(const TcpReceived &now)
{
    if (now.dataSegments != m_last.dataSegments && now.outOfOrder == m_last.outOfOrder)
        m_clear = now;
    m_last = now;
    // The counters are cumulative; unsigned differences survive their wrap.
    const std::int64_t arrived = std::int64_t(std::uint32_t(now.dataSegments - m_clear.dataSegments)) * now.segmentSize;
    const std::int64_t inOrder = std::int64_t(now.inOrder - m_clear.inOrder);
    return std::max<std::int64_t>(0, arrived - inOrder);
}
