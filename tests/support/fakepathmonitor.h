#pragma once
// A path monitor that tests drive by hand. report() may be called from any
// thread, as the real monitor's thread would.
#include "pathmonitor.h"

#include <mutex>

class FakePathMonitor final : public PathMonitor {
public:
    // Shared with the test after ownership moves into SpeedTest.
    struct Control {
        std::mutex lock;
        Handler handler;
        void report(bool usable)
        {
            const Handler h = [this] {
                std::lock_guard g(lock);
                return handler;
            }();
            if (h)
                h(usable);
        }
    };

    explicit FakePathMonitor(std::shared_ptr<Control> control) : m_control(std::move(control)) {}
    ~FakePathMonitor() override { start(nullptr); }
    void start(Handler handler) override
    {
        std::lock_guard g(m_control->lock);
        m_control->handler = std::move(handler);
    }

private:
    std::shared_ptr<Control> m_control;
};
