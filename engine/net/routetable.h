#pragma once
// Asking Linux's routing tables whether a path can carry traffic: a default
// route read from /proc/net/route and /proc/net/ipv6_route, or the kernel's
// own route to one address. Any thread.
#include <sys/socket.h>

#include <functional>
#include <istream>
#include <string>

using InterfaceCheck = std::function<bool(const std::string &name)>;

// True when either table holds a default route that is up, not a reject
// route, and leaves through an interface the check accepts.
bool hasUsableDefaultRoute(std::istream &ipv4Table, std::istream &ipv6Table, const InterfaceCheck &usable);

// Up, running and not loopback, asked of the kernel.
bool interfaceIsUsable(const std::string &name);

// True when the kernel's route to the address (an RTM_GETROUTE request, so
// every table counts, the local one too) is not a reject route and leaves
// through an interface that is up and running. Loopback counts: it reaches a
// server on this machine.
bool hasUsableRouteTo(const sockaddr_storage &address);
