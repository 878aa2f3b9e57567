#include "faultplan.h"

#include <algorithm>

FaultPlan FaultPlan::serverWide(std::int64_t throttle, std::chrono::milliseconds delay)
{
    FaultPlan plan;
    plan.headDelay = std::max(delay, std::chrono::milliseconds(0));
    plan.throttle = std::max<std::int64_t>(throttle, 0);
    return plan;
}

#ifdef QUORVEL_SERVER_TEST_HOOKS
void FaultPlan::apply(const std::vector<FaultRule> &rules, std::int64_t position, const std::string &path,
                      bool loaded)
{
    using std::chrono::milliseconds;
    FaultPlan &plan = *this;
    for (const FaultRule &rule : rules) {
        if ((rule.nth != 0 && rule.nth != position) || (!rule.path.empty() && rule.path != path)
            || (rule.whileBodiesMove && !loaded))
            continue;
        if (rule.status != 0)
            plan.status = rule.status;
        plan.headDelay += std::max(rule.headDelay, milliseconds(0));
        if (rule.stallAfterBytes >= 0 && rule.stallFor > milliseconds(0))
            plan.stalls.emplace_back(rule.stallAfterBytes, rule.stallFor);
        if (rule.closeAfterBytes >= 0) {
            if (plan.closeAfter < 0 || rule.closeAfterBytes < plan.closeAfter) {
                plan.closeAfter = rule.closeAfterBytes;
                plan.reset = rule.reset;
            } else if (rule.closeAfterBytes == plan.closeAfter) {
                plan.reset = plan.reset || rule.reset;
            }
        }
        if (rule.bodyBytes >= 0)
            plan.bodyBytes = rule.bodyBytes;
        if (rule.throttleBytesPerSecond > 0
            && (plan.throttle == 0 || rule.throttleBytesPerSecond < plan.throttle))
            plan.throttle = rule.throttleBytesPerSecond;
    }
    std::stable_sort(plan.stalls.begin(), plan.stalls.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
}
#endif

BodyFlow::BodyFlow(FaultPlan plan, SleepUntil sleepUntil)
    : m_plan(std::move(plan)), m_sleepUntil(std::move(sleepUntil))
{
}

BodyFlow::Step BodyFlow::at(std::int64_t pos)
{
    if (!m_started) {
        m_started = true;
        m_origin = Clock::now();
        m_originPos = pos;
    }
    bool stalled = false;
    while (m_nextStall < m_plan.stalls.size() && m_plan.stalls[m_nextStall].first <= pos) {
        if (!m_sleepUntil(Clock::now() + m_plan.stalls[m_nextStall].second))
            return Step::stop;
        ++m_nextStall;
        stalled = true;
    }
    if (stalled) {
        // The throttle paces from here on; no burst to make up for the stall.
        m_origin = Clock::now();
        m_originPos = pos;
    }
    if (m_plan.closeAfter >= 0 && pos >= m_plan.closeAfter)
        return Step::close;
    return Step::go;
}

std::size_t BodyFlow::allowance(std::int64_t pos, std::size_t want) const
{
    std::int64_t n = static_cast<std::int64_t>(want);
    if (m_plan.closeAfter > pos)
        n = std::min(n, m_plan.closeAfter - pos);
    if (m_nextStall < m_plan.stalls.size() && m_plan.stalls[m_nextStall].first > pos)
        n = std::min(n, m_plan.stalls[m_nextStall].first - pos);
    if (m_plan.throttle > 0)
        n = std::min(n, std::max<std::int64_t>(1, m_plan.throttle / 50)); // 20 ms slices
    return static_cast<std::size_t>(std::max<std::int64_t>(n, 1));
}

bool BodyFlow::moved(std::int64_t pos)
{
    if (m_plan.throttle <= 0)
        return true;
    const double seconds = static_cast<double>(pos - m_originPos) / static_cast<double>(m_plan.throttle);
    const auto due = m_origin + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(seconds));
    return due <= Clock::now() || m_sleepUntil(due);
}
