#pragma once
#include <atomic>
#include <cstdint>

// The body bytes a test moved, sent and received, on every connection:
// what it cost a metered link. Any thread may add; the total is read on the
// main thread.
class ByteTally {
public:
    void add(std::int64_t bytes) { m_total.fetch_add(bytes, std::memory_order_relaxed); }
    std::int64_t total() const { return m_total.load(std::memory_order_relaxed); }

private:
    std::atomic<std::int64_t> m_total{0};
};
