#pragma once
// What a TCP socket's own counters (TCP_INFO) say the link has moved, for
// live byte counts that follow the link rather than the application's reads.
// Pure apart from the two socket reads; any thread.
#include <cstdint>
#include <optional>

// The receive side's cumulative counters.
struct TcpReceived {
    std::uint64_t inOrder = 0; // bytes the stream has received without a gap
    std::uint32_t dataSegments = 0; // segments with data: out of order and duplicates too
    std::uint32_t outOfOrder = 0; // segments that arrived past a gap
    std::uint32_t segmentSize = 0; // the peer's segment size, as the receiver estimates it
};

// None where TCP_INFO is missing or too old to carry the counters.
std::optional<TcpReceived> tcpReceived(int socket);
// Bytes the peer has acknowledged, plus the segments it acknowledged
// selectively past a loss at one segment size each; none as above. Without
// those, a loss held an upload's count still for a few round trips and then
// released it at once: the live rate dipped to half the link, then showed
// 1.4 times it.
std::optional<std::int64_t> tcpBytesAcked(int socket);

// The sender's smoothed round-trip estimate, in microseconds; none as above.
std::optional<std::uint32_t> tcpRoundTripMicros(int socket);

// Bytes that reached a socket past a gap and wait there for a retransmission,
// estimated from its counters, one reading after another: out-of-order
// segments add one segment size each, and bytes that come in order without
// having arrived since the last reading (the release when a gap fills) take
// theirs away. Segments that arrive in order change nothing, short ones
// included. Never negative; a duplicate past a gap counts as an arrival.
class HeldBytes {
public:
    explicit HeldBytes(const TcpReceived &start) : m_last(start) {}
    std::int64_t update(const TcpReceived &now);

private:
    TcpReceived m_last;
    std::int64_t m_held = 0;
};
