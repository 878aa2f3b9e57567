#pragma once
// FaultPlan: what the server-wide throttle and delay (and, in test builds,
// the matching FaultRules) do to one request. BodyFlow applies a plan's byte-position faults
// to one body as it moves, in either direction.
//
// - Rules combine: head delays add up, every stall happens at its own
//   position, the lowest close position and the lowest throttle win, and the
//   last rule with a status sets the status.
// - A BodyFlow belongs to the worker thread moving its body. Its waits go
//   through the given sleep function, which returns false once the server
//   is stopping; the flow then reports stop.
#include "speedtestserver.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

struct FaultPlan {
    int status = 0;
    std::chrono::milliseconds headDelay{0};
    std::vector<std::pair<std::int64_t, std::chrono::milliseconds>> stalls; // by position
    std::int64_t closeAfter = -1;
    bool reset = false;
    std::int64_t throttle = 0;
    std::int64_t bodyBytes = -1; // test builds only: a /__down's size, if set

    static FaultPlan serverWide(std::int64_t throttle, std::chrono::milliseconds delay);
#ifdef QUORVEL_SERVER_TEST_HOOKS
    // Adds the rules that match the request at this position and path;
    // `loaded`: it has no body and arrived while another body moved.
    void apply(const std::vector<FaultRule> &rules, std::int64_t position, const std::string &path, bool loaded);
#endif
    int statusOr(int usual) const { return status != 0 ? status : usual; }
};

class BodyFlow {
public:
    using Clock = std::chrono::steady_clock;
    using SleepUntil = std::function<bool(Clock::time_point)>;
    enum class Step { go, close, stop };

    BodyFlow(FaultPlan plan, SleepUntil sleepUntil);

    // At body position pos, before more bytes move: runs the stalls due
    // there, then says whether the body may go on.
    Step at(std::int64_t pos);
    // How many of want bytes may move from pos without passing a stall or
    // the close position, in slices small enough to pace a throttle.
    std::size_t allowance(std::int64_t pos, std::size_t want) const;
    // The body reached pos: waits as long as the throttle asks.
    bool moved(std::int64_t pos);

private:
    FaultPlan m_plan;
    SleepUntil m_sleepUntil;
    std::size_t m_nextStall = 0;
    bool m_started = false;
    Clock::time_point m_origin;
    std::int64_t m_originPos = 0;
};
