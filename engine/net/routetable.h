#pragma once
// Reading Linux's routing tables (/proc/net/route, /proc/net/ipv6_route) for
// a default route that can carry traffic.
#include <functional>
#include <istream>
#include <string>

using InterfaceCheck = std::function<bool(const std::string &name)>;

// True when either table holds a default route that is up, not a reject
// route, and leaves through an interface the check accepts.
bool hasUsableDefaultRoute(std::istream &ipv4Table, std::istream &ipv6Table, const InterfaceCheck &usable);

// Up, running and not loopback, asked of the kernel.
bool interfaceIsUsable(const std::string &name);
