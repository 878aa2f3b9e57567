#include "curlhandle.h"

#include "httpdiagnostics.h"

#include <atomic>
#include <mutex>
#include <new>

namespace {
std::atomic<int> g_liveEasyHandles{0};
}

int HttpDiagnostics::liveEasyHandles()
{
    return g_liveEasyHandles.load();
}

void ensureCurlInitialised()
{
    // curl_global_init is not thread-safe in every libcurl build; do it once.
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
            throw std::bad_alloc();
    });
}

void EasyDeleter::operator()(CURL *easy) const noexcept
{
    curl_easy_cleanup(easy);
    g_liveEasyHandles.fetch_sub(1);
}

void MultiDeleter::operator()(CURLM *multi) const noexcept
{
    curl_multi_cleanup(multi);
}

EasyHandle adoptEasyHandle(CURL *easy)
{
    if (easy)
        g_liveEasyHandles.fetch_add(1);
    return EasyHandle(easy);
}
