#include "httpsession.h"

#include "httpdiagnostics.h"
#include "httpioloop.h"

#include <pthread.h>

#include <atomic>
#include <thread>

namespace {
std::atomic<int> g_liveIoThreads{0};
}

int HttpDiagnostics::liveIoThreads()
{
    return g_liveIoThreads.load();
}

struct HttpSession::Impl {
    // Shared with the I/O thread, which may outlive this object when the
    // last reference to the session is dropped on that very thread.
    std::shared_ptr<HttpIoLoop> loop;
    std::thread thread;
};

void HttpTransfer::resume() const
{
    if (const auto session = m_session.lock())
        session->start({m_id});
}

void HttpTransfer::resumeTogether(const std::vector<HttpTransfer> &transfers)
{
    if (transfers.empty())
        return;
    const auto session = transfers.front().m_session.lock();
    if (!session)
        return;
    std::vector<TransferId> ids;
    ids.reserve(transfers.size());
    for (const HttpTransfer &t : transfers) {
        Q_ASSERT(t.m_session.lock() == session);
        ids.push_back(t.m_id);
    }
    session->start(ids);
}

std::shared_ptr<HttpSession> HttpSession::create(HttpSessionConfig config)
{
    return std::shared_ptr<HttpSession>(new HttpSession(std::move(config)));
}

HttpSession::HttpSession(HttpSessionConfig config) : d(std::make_unique<Impl>())
{
    d->loop = std::make_shared<HttpIoLoop>(std::move(config));
    g_liveIoThreads.fetch_add(1);
    try {
        d->thread = std::thread([loop = d->loop]() mutable {
            pthread_setname_np(pthread_self(), "quorvel-http");
            loop->run();
            loop.reset();
            g_liveIoThreads.fetch_sub(1);
        });
    } catch (...) {
        g_liveIoThreads.fetch_sub(1);
        throw;
    }
}

HttpSession::~HttpSession()
{
    d->loop->stop();
    // Joining from the I/O thread itself would deadlock: let it finish on
    // its own once the consumer call that dropped us returns.
    if (d->thread.get_id() == std::this_thread::get_id())
        d->thread.detach();
    else
        d->thread.join();
}

void HttpSession::fetch(HttpRequest request, std::function<void(FetchResult)> done)
{
    d->loop->fetch(std::move(request), std::move(done));
}

HttpTransfer HttpSession::dataTransfer(HttpRequest request)
{
    return HttpTransfer(weak_from_this(),
                        d->loop->create(CurlTransfer::Kind::data, std::move(request), QByteArray()));
}

HttpTransfer HttpSession::uploadTransfer(HttpRequest request, QByteArray body)
{
    return HttpTransfer(weak_from_this(),
                        d->loop->create(CurlTransfer::Kind::upload, std::move(request), std::move(body)));
}

HttpTransfer HttpSession::endlessUpload(HttpRequest request)
{
    return HttpTransfer(weak_from_this(), d->loop->create(CurlTransfer::Kind::upload, std::move(request), {}, true));
}

void HttpSession::invalidate()
{
    d->loop->invalidate();
}

void HttpSession::start(const std::vector<TransferId> &ids)
{
    d->loop->start(ids);
}
