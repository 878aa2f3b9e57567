#pragma once
// An httplib client for the server tests: keep-alive, targets sent exactly
// as written, bounded waits.
#include <httplib.h>

#include <memory>

inline std::unique_ptr<httplib::Client> clientFor(int port)
{
    auto client = std::make_unique<httplib::Client>("127.0.0.1", port);
    client->set_keep_alive(true);
    client->set_url_encode(false); // targets go out exactly as written
    client->set_connection_timeout(5);
    client->set_read_timeout(20);
    client->set_write_timeout(20);
    return client;
}
