#pragma once
// The libcurl calls a session's I/O loop makes, behind one thin interface
// so that a test can make any of them fail. This base class makes the real
// calls; a session takes another through HttpSessionConfig::curl.
// wakeup() is called from any thread, under the loop's mutex; everything
// else on the I/O thread only.
#include <curl/curl.h>

class CurlApi {
public:
    virtual ~CurlApi() = default;

    virtual CURLM *multiInit() { return curl_multi_init(); }
    virtual CURLMcode multiSetopt(CURLM *m, CURLMoption option, long value)
    {
        return curl_multi_setopt(m, option, value);
    }
    virtual CURLMcode addHandle(CURLM *m, CURL *easy) { return curl_multi_add_handle(m, easy); }
    virtual CURLMcode removeHandle(CURLM *m, CURL *easy) { return curl_multi_remove_handle(m, easy); }
    virtual CURLMcode perform(CURLM *m, int *running) { return curl_multi_perform(m, running); }
    virtual CURLMcode poll(CURLM *m, curl_waitfd *extra, unsigned extraCount, int timeoutMs)
    {
        return curl_multi_poll(m, extra, extraCount, timeoutMs, nullptr);
    }
    virtual CURLMcode wakeup(CURLM *m) { return curl_multi_wakeup(m); }
    virtual CURLMsg *infoRead(CURLM *m, int *queued) { return curl_multi_info_read(m, queued); }
    virtual CURLMcode timeout(CURLM *m, long *ms) { return curl_multi_timeout(m, ms); }
    virtual CURL *easyInit() { return curl_easy_init(); }
    virtual CURLcode pause(CURL *easy, int bitmask) { return curl_easy_pause(easy, bitmask); }
};
