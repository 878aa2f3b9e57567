#pragma once
// Reports whether a usable network path exists. A monitor calls its handler
// on a thread of its own, once soon after start() and again on every change;
// the handler must only hand the boolean over to whoever needs it.
#include <functional>
#include <memory>
#include <string>

class PathMonitor {
public:
    using Handler = std::function<void(bool usable)>;
    virtual ~PathMonitor() = default;
    // Called once. The monitor runs until it is destroyed; the destructor
    // guarantees the handler is not running and will not run again.
    virtual void start(Handler handler) = 0;
};

// The platform's monitor: netlink routes on Linux. Without a server it looks
// for a way to the internet; given the host name or address of a server, it
// looks for a way to that server, and falls back to the former while the name
// does not resolve.
std::unique_ptr<PathMonitor> createSystemPathMonitor(const std::string &server = {});
