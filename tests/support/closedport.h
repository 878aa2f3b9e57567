#pragma once
// A loopback port that refuses connections and that no other test can take:
// bound, never listening, for as long as this lives. A server started and
// stopped leaves its port free, and a parallel test may take it and answer.
#include <QString>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

class ClosedPort {
public:
    ClosedPort()
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr *>(&a), size) == 0
            && ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &size) == 0)
            m_port = ntohs(a.sin_port);
    }
    ~ClosedPort() { ::close(m_fd); }
    ClosedPort(const ClosedPort &) = delete;
    ClosedPort &operator=(const ClosedPort &) = delete;

    // Empty when no port could be bound.
    QString origin() const { return m_port ? QStringLiteral("http://127.0.0.1:%1").arg(m_port) : QString(); }

private:
    int m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int m_port = 0;
};
