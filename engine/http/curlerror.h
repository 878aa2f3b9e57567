#pragma once
// Turns a finished curl transfer's result into the client's HttpError.
// Pure: no handles, callable from any thread.
#include "httperror.h"

#include <curl/curl.h>

#include <string_view>

// osErrno is CURLINFO_OS_ERRNO; detail is the transfer's error buffer (may be
// empty, then curl's generic text for the code is used).
HttpError httpErrorFromCurl(CURLcode code, long osErrno, std::string_view detail);
