#include "async.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

namespace async {

void postToMain(std::function<void()> fn)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return; // the application is gone; nobody is left to resume
    QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

// ---- CancelState -------------------------------------------------------------

void CancelState::cancel()
{
    if (m_cancelled)
        return;
    m_cancelled = true;
    auto callbacks = std::move(m_callbacks);
    m_callbacks.clear();
    for (auto &[token, fn] : callbacks)
        fn();
}

std::uint64_t CancelState::subscribe(std::function<void()> onCancel)
{
    const std::uint64_t token = m_next++;
    m_callbacks.emplace_back(token, std::move(onCancel));
    return token;
}

void CancelState::unsubscribe(std::uint64_t token)
{
    std::erase_if(m_callbacks, [token](const auto &entry) { return entry.first == token; });
}

// ---- sleep -------------------------------------------------------------------

namespace detail {

struct SleepState : std::enable_shared_from_this<SleepState> {
    std::coroutine_handle<> waiter;
    bool fired = false;
    bool cancelled = false;
    std::unique_ptr<QTimer> timer;
    std::shared_ptr<CancelState> cancel;
    std::uint64_t token = 0;

    // The timer and a cancel may both arrive; only the first one counts, and
    // the coroutine is resumed from a fresh event-loop pass either way.
    void fire(bool byCancel)
    {
        if (fired)
            return;
        fired = true;
        cancelled = byCancel;
        if (timer)
            timer->stop();
        std::weak_ptr<SleepState> weak = shared_from_this();
        postToMain([weak] {
            if (auto self = weak.lock()) {
                if (auto h = std::exchange(self->waiter, {}))
                    h.resume();
            }
        });
    }

    void detach()
    {
        waiter = {};
        if (timer)
            timer->stop();
        if (cancel && token)
            cancel->unsubscribe(std::exchange(token, 0));
    }
};

} // namespace detail

sleepFor::~sleepFor()
{
    if (m_state)
        m_state->detach();
}

void sleepFor::suspend(std::coroutine_handle<> h, const std::shared_ptr<CancelState> &cancel)
{
    m_state = std::make_shared<detail::SleepState>();
    auto &s = *m_state;
    s.waiter = h;
    s.cancel = cancel;
    if (cancel && cancel->isCancelled()) {
        s.fire(true);
        return;
    }
    s.timer = std::make_unique<QTimer>();
    s.timer->setSingleShot(true);
    s.timer->setTimerType(Qt::PreciseTimer);
    std::weak_ptr<detail::SleepState> weak = m_state;
    QObject::connect(s.timer.get(), &QTimer::timeout, [weak] {
        if (auto self = weak.lock())
            self->fire(false);
    });
    if (cancel) {
        s.token = cancel->subscribe([weak] {
            if (auto self = weak.lock())
                self->fire(true);
        });
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(m_duration);
    s.timer->start(std::max<std::int64_t>(0, ms.count()));
}

void sleepFor::await_resume()
{
    const bool cancelled = m_state->cancelled;
    m_state->detach();
    if (cancelled)
        throw CancelledError();
}

// ---- whenAll -----------------------------------------------------------------

namespace detail {

void GroupState::childDone(std::exception_ptr error)
{
    if (error && !firstError)
        firstError = error;
    if (--remaining > 0)
        return;
    // Resume from a fresh pass: the child that finished last is still on the
    // stack, and the resumed parent destroys the children.
    postToMain([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            if (auto h = std::exchange(self->parent, {}))
                h.resume();
        }
    });
}

Task<void> runChild(Task<void> child, std::shared_ptr<GroupState> group)
{
    std::exception_ptr error;
    try {
        co_await std::move(child);
    } catch (...) {
        error = std::current_exception();
    }
    group->childDone(error);
}

} // namespace detail

whenAll::whenAll(std::vector<Task<void>> tasks) : m_children(std::move(tasks)) {}

whenAll::~whenAll()
{
    if (m_group)
        m_group->parent = {};
}

void whenAll::start(std::coroutine_handle<> parent, const std::shared_ptr<CancelState> &cancel)
{
    m_group = std::make_shared<detail::GroupState>();
    m_group->remaining = m_children.size();
    m_group->parent = parent;
    std::vector<Task<void>> wrappers;
    wrappers.reserve(m_children.size());
    for (auto &child : m_children)
        wrappers.push_back(detail::runChild(std::move(child), m_group));
    m_children = std::move(wrappers);
    for (auto &w : m_children) {
        w.handle().promise().cancel = cancel;
        w.handle().resume();
    }
}

void whenAll::await_resume()
{
    if (m_group && m_group->firstError)
        std::rethrow_exception(m_group->firstError);
}

// ---- root tasks --------------------------------------------------------------

namespace detail {

struct RootState {
    std::shared_ptr<CancelState> cancel = std::make_shared<CancelState>();
    std::coroutine_handle<> frame;
    bool finished = false;
};

// Owns itself: runs eagerly and frees its frame when the task ends.
struct RootTask {
    struct promise_type {
        std::shared_ptr<CancelState> cancel;
        promise_type(Task<void> &, const std::shared_ptr<RootState> &state) : cancel(state->cancel)
        {
            state->frame = std::coroutine_handle<promise_type>::from_promise(*this);
        }
        RootTask get_return_object() noexcept { return {}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() noexcept {}
        void unhandled_exception() noexcept { std::terminate(); }
    };
};

RootTask runRoot(Task<void> task, std::shared_ptr<RootState> state)
{
    try {
        co_await std::move(task);
    } catch (const CancelledError &) {
        // Ending by cancellation is an ordinary end for a root.
    }
    state->finished = true;
    state->frame = {};
}

} // namespace detail

TaskHandle launch(Task<void> task)
{
    return launch(std::move(task), std::make_shared<CancelState>());
}

TaskHandle launch(Task<void> task, std::shared_ptr<CancelState> cancel)
{
    auto state = std::make_shared<detail::RootState>();
    state->cancel = cancel ? std::move(cancel) : std::make_shared<CancelState>();
    detail::runRoot(std::move(task), state);
    return TaskHandle(state);
}

void TaskHandle::cancel()
{
    m_state->cancel->cancel();
}

bool TaskHandle::isCancelled() const
{
    return m_state->cancel->isCancelled();
}

bool TaskHandle::isFinished() const
{
    return m_state->finished;
}

void TaskHandle::destroy()
{
    if (m_state->finished)
        return;
    m_state->finished = true;
    if (auto frame = std::exchange(m_state->frame, {}))
        frame.destroy();
}

} // namespace async
