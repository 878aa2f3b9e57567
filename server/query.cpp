#include "query.h"

#include "speedtestserver.h"

#include <algorithm>

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string decode(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out += ' ';
        } else if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
            i += 2;
        } else {
            out += s[i]; // a stray '%' stays as it is
        }
    }
    return out;
}

} // namespace

std::string_view queryOf(std::string_view target)
{
    const auto q = target.find('?');
    if (q == std::string_view::npos)
        return {};
    target.remove_prefix(q + 1);
    return target.substr(0, target.find('#'));
}

std::optional<std::string> queryParam(std::string_view query, std::string_view name)
{
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view member = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
        const auto eq = member.find('=');
        if (decode(member.substr(0, eq)) != name)
            continue;
        return eq == std::string_view::npos ? std::string{} : decode(member.substr(eq + 1));
    }
    return std::nullopt;
}

ByteCount parseByteCount(std::string_view query, std::int64_t max)
{
    const auto raw = queryParam(query, "bytes");
    if (!raw)
        return {0, "bytes: missing; ask for /__down?bytes=N"};
    std::string_view digits = *raw;
    const bool negative = !digits.empty() && digits.front() == '-';
    if (negative)
        digits.remove_prefix(1);
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(),
                                       [](char c) { return c >= '0' && c <= '9'; }))
        return {0, "bytes: not a number"};
    if (negative)
        return {0, "bytes: negative"};
    const auto significant = digits.find_first_not_of('0');
    if (significant == std::string_view::npos)
        return {0, {}};
    digits.remove_prefix(significant);
    const std::string limit = std::to_string(max);
    if (digits.size() > limit.size() || (digits.size() == limit.size() && digits > limit))
        return {0, "bytes: above the maximum of " + limit};
    return {std::stoll(std::string(digits)), {}};
}

#ifdef QUORVEL_SERVER_TEST_HOOKS
std::string RequestRecord::param(const std::string &name) const
{
    return queryParam(query, name).value_or(std::string{});
}
#endif
