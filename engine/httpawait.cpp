#include "httpawait.h"

async::Future<HttpResponse> fetchResponse(HttpSession &session, HttpRequest request)
{
    auto promise = std::make_shared<async::Promise<HttpResponse>>();
    auto future = promise->future();
    session.fetch(std::move(request), [promise](FetchResult result) {
        if (auto *response = std::get_if<HttpResponse>(&result))
            promise->resolve(std::move(*response));
        else
            promise->fail(std::make_exception_ptr(std::get<HttpError>(result)));
    });
    return future;
}
