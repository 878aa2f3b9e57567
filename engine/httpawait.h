#pragma once
// Awaiting a whole HTTP response from a coroutine on the main thread.
#include "async.h"
#include "httpsession.h"

// Resumes on the main thread with the response, or throws its HttpError.
async::Future<HttpResponse> fetchResponse(HttpSession &session, HttpRequest request);
