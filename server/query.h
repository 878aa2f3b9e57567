#pragma once
// Query-string helpers: decoding of parameters and validation of the
// download size. Pure functions, any thread.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The query of a request target ("/p?a=1" -> "a=1"; "" without '?').
std::string_view queryOf(std::string_view target);

// The first value of name in a raw query, percent- and '+'-decoded;
// nullopt when the name does not occur.
std::optional<std::string> queryParam(std::string_view query, std::string_view name);

struct ByteCount {
    std::int64_t value = 0;
    std::string error; // one line, without a newline; empty when value is valid
};

// Reads the "bytes" parameter of a download: decimal digits only, at most max.
ByteCount parseByteCount(std::string_view query, std::int64_t max);
