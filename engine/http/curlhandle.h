#pragma once
// Owning wrappers for libcurl handles, process-wide curl initialisation and a
// checked way to set options. A handle is used by one thread at a time; the
// live-handle counts exist so tests can prove nothing is left behind.
#include <curl/curl.h>

#include <memory>
#include <type_traits>

// Safe to call from any thread, any number of times.
void ensureCurlInitialised();

struct EasyDeleter {
    void operator()(CURL *easy) const noexcept;
};
struct MultiDeleter {
    void operator()(CURLM *multi) const noexcept;
};
struct SlistDeleter {
    void operator()(curl_slist *list) const noexcept { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

// Takes ownership of an easy handle from curl_easy_init (or a stand-in for
// it); null stays null.
EasyHandle adoptEasyHandle(CURL *easy);

// Sets options on one easy handle and keeps the first failure, so a whole
// set-up is checked once at its end. Values must have the exact type curl
// reads for the option (long, curl_off_t, a pointer): curl takes varargs.
class EasyOptions {
public:
    explicit EasyOptions(CURL *easy) : m_easy(easy) {}

    template <typename T> EasyOptions &set(CURLoption option, T value)
    {
        static_assert(!std::is_same_v<T, int> && !std::is_same_v<T, bool>,
                      "curl reads long for integer options");
        if (m_result == CURLE_OK) {
            m_result = curl_easy_setopt(m_easy, option, value);
            if (m_result != CURLE_OK)
                m_failedOption = option;
        }
        return *this;
    }

    CURLcode result() const { return m_result; }
    CURLoption failedOption() const { return m_failedOption; }

private:
    CURL *m_easy;
    CURLcode m_result = CURLE_OK;
    CURLoption m_failedOption{};
};
