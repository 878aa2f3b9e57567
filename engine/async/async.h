#pragma once
// Coroutines for the test sequence, on the Qt main thread.
//
// - Task<T>: a lazily started coroutine; co_await on it runs it and yields
//   its value or rethrows its exception in the awaiting coroutine.
// - launch(): starts a root task at once (up to its first suspension) and
//   returns a handle to cancel it. Cancellation is cooperative: every co_await
//   of this layer (a sleep, a future, a group, a spawn, a child task) throws
//   CancelledError once the task has been asked to cancel, also when the
//   cancel lands after the task's wake-up was already queued. A cancel wakes
//   sleeps at once; a network wait ends when its HTTP session is invalidated.
// - currentTaskCancelled(): the same question for plain functions that a task
//   calls, so code that notifies observers can stop right after a slot
//   cancelled the task it runs in.
// - Future<T>/Promise<T>: a one-shot result that may be completed from any
//   thread; the awaiting coroutine is always resumed on the main thread.
// - whenAll(): runs tasks concurrently, waits for all of them, then fails
//   with the first failure in order of completion.
//
// Safety: every waiter is a shared state that the awaiter detaches from when
// its coroutine frame is destroyed, so a completion, timer or cancel that
// arrives late touches nothing freed, and each suspension resumes once.
#include <QObject>

#include <chrono>
#include <coroutine>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

class QTimer;

namespace async {

// Thrown when a task notices that it was asked to cancel.
class CancelledError : public std::exception {
public:
    const char *what() const noexcept override { return "The task was cancelled."; }
};

// Runs fn on the main thread, in a later pass of its event loop. Callable
// from any thread.
void postToMain(std::function<void()> fn);

// Cancellation flag of one root task and all it awaits. Main thread only.
class CancelState {
public:
    bool isCancelled() const { return m_cancelled; }
    void cancel();
    std::uint64_t subscribe(std::function<void()> onCancel);
    void unsubscribe(std::uint64_t token);

    // Test hook; see testing::observeResumptionsOfNewTasks().
    std::function<void()> resumeObserver;

private:
    bool m_cancelled = false;
    std::uint64_t m_next = 1;
    std::vector<std::pair<std::uint64_t, std::function<void()>>> m_callbacks;
};

// Whether the task running on this thread right now has been asked to
// cancel; false outside tasks.
bool currentTaskCancelled();
// Throws CancelledError when currentTaskCancelled().
inline void throwIfCancelled()
{
    if (currentTaskCancelled())
        throw CancelledError();
}

// Marks a block that runs for nobody's task, even when a task calls it (a
// user's cancel() reached from a slot): currentTaskCancelled() is false
// inside it.
class OutsideTasks {
public:
    OutsideTasks();
    ~OutsideTasks();
    OutsideTasks(const OutsideTasks &) = delete;
    OutsideTasks &operator=(const OutsideTasks &) = delete;

private:
    CancelState *m_saved;
};

namespace testing {
// TEST HOOK. Root tasks launched from now on (and what they spawn) call
// observer each time one of their co_awaits on a sleep, future, group or
// spawn is about to go on, before it checks the task's cancellation: an
// observer that cancels there is a cancel landing just before that
// resumption. An empty function stops observing new tasks.
void observeResumptionsOfNewTasks(std::function<void()> observer);
} // namespace testing

namespace detail {

// Where every suspension of a task ends: calls the test hook, then answers
// whether the task has been asked to cancel.
bool goingOn(const std::shared_ptr<CancelState> &cancel);

// Resumes h as part of the task with this cancellation.
void resumeIn(std::coroutine_handle<> h, const std::shared_ptr<CancelState> &cancel);

struct PromiseBase {
    std::coroutine_handle<> continuation;
    std::shared_ptr<CancelState> cancel;
    std::exception_ptr error;

    std::suspend_always initial_suspend() noexcept { return {}; }
    struct FinalAwaiter {
        bool await_ready() noexcept { return false; }
        template <typename P>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept
        {
            if (auto next = h.promise().continuation)
                return next;
            return std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { error = std::current_exception(); }
};

template <typename T>
struct Promise : PromiseBase {
    std::optional<T> value;
    template <typename U>
    void return_value(U &&v) { value.emplace(std::forward<U>(v)); }
};

template <>
struct Promise<void> : PromiseBase {
    void return_void() noexcept {}
};

} // namespace detail

template <typename T = void>
class [[nodiscard]] Task {
public:
    struct promise_type : detail::Promise<T> {
        Task get_return_object() { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
    };
    using Handle = std::coroutine_handle<promise_type>;

    Task() = default;
    Task(Task &&other) noexcept : m_h(std::exchange(other.m_h, {})) {}
    Task &operator=(Task &&other) noexcept
    {
        if (this != &other) {
            if (m_h)
                m_h.destroy();
            m_h = std::exchange(other.m_h, {});
        }
        return *this;
    }
    Task(const Task &) = delete;
    Task &operator=(const Task &) = delete;
    ~Task()
    {
        if (m_h)
            m_h.destroy();
    }

    bool await_ready() const noexcept { return !m_h || m_h.done(); }
    template <typename P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> parent) noexcept
    {
        m_h.promise().continuation = parent;
        m_h.promise().cancel = parent.promise().cancel;
        return m_h;
    }
    T await_resume()
    {
        auto &p = m_h.promise();
        if (p.cancel && p.cancel->isCancelled())
            throw CancelledError();
        if (p.error)
            std::rethrow_exception(p.error);
        if constexpr (!std::is_void_v<T>)
            return std::move(*p.value);
    }

    // For launch() and whenAll(): start with a given cancel state and
    // continuation.
    Handle handle() const { return m_h; }

private:
    explicit Task(Handle h) : m_h(h) {}
    Handle m_h;
};

// ---- cancellation checks -------------------------------------------------

// co_await isCancelled(): whether the task was asked to cancel.
struct isCancelled {
    bool cancelled = false;
    bool await_ready() const noexcept { return false; }
    template <typename P>
    bool await_suspend(std::coroutine_handle<P> h) noexcept
    {
        cancelled = h.promise().cancel && h.promise().cancel->isCancelled();
        return false;
    }
    bool await_resume() const noexcept { return cancelled; }
};

// co_await checkCancelled(): throws CancelledError if the task was asked to cancel.
struct checkCancelled : isCancelled {
    void await_resume() const
    {
        if (cancelled)
            throw CancelledError();
    }
};

// ---- sleep ---------------------------------------------------------------

namespace detail {
struct SleepState;
}

// co_await sleepFor(d): resumes after d, or throws CancelledError at once
// when the task is asked to cancel before or during the wait, or after the
// timer fired but before the task resumed.
class sleepFor {
public:
    explicit sleepFor(std::chrono::nanoseconds duration) : m_duration(duration) {}
    sleepFor(const sleepFor &) = delete;
    sleepFor &operator=(const sleepFor &) = delete;
    ~sleepFor();

    bool await_ready() const noexcept { return false; }
    template <typename P>
    void await_suspend(std::coroutine_handle<P> h) { suspend(h, h.promise().cancel); }
    void await_resume();

private:
    void suspend(std::coroutine_handle<> h, const std::shared_ptr<CancelState> &cancel);
    std::chrono::nanoseconds m_duration;
    std::shared_ptr<detail::SleepState> m_state;
};

// ---- futures from other threads -----------------------------------------

namespace detail {

struct SharedStateBase {
    std::mutex lock;
    bool ready = false;
    std::exception_ptr error;
    std::coroutine_handle<> waiter;
    std::shared_ptr<CancelState> waiterCancel;

    // Main thread, from a posted job.
    void resumeWaiter()
    {
        std::coroutine_handle<> h;
        std::shared_ptr<CancelState> cancel;
        {
            std::lock_guard g(lock);
            h = std::exchange(waiter, {});
            cancel = std::move(waiterCancel);
        }
        if (h)
            resumeIn(h, cancel);
    }
};

template <typename T>
struct SharedState : SharedStateBase {
    std::optional<T> value;
};

template <>
struct SharedState<void> : SharedStateBase {
};

} // namespace detail

class BrokenPromise : public std::exception {
public:
    const char *what() const noexcept override { return "The operation ended without a result."; }
};

template <typename T>
class Future;

// Completed once, from any thread; later completions are ignored. A promise
// dropped without completing fails its future with BrokenPromise.
template <typename T = void>
class Promise {
public:
    Promise() : m_state(std::make_shared<detail::SharedState<T>>()) {}
    Promise(Promise &&) noexcept = default;
    Promise &operator=(Promise &&) noexcept = default;
    Promise(const Promise &) = delete;
    Promise &operator=(const Promise &) = delete;
    ~Promise()
    {
        if (m_state)
            fail(std::make_exception_ptr(BrokenPromise()));
    }

    Future<T> future() const { return Future<T>(m_state); }

    template <typename... U>
    void resolve(U &&...v)
    {
        complete([&](detail::SharedState<T> &s) {
            if constexpr (!std::is_void_v<T>)
                s.value.emplace(std::forward<U>(v)...);
        });
    }
    void fail(std::exception_ptr error)
    {
        complete([&](detail::SharedState<T> &s) { s.error = std::move(error); });
    }

private:
    template <typename F>
    void complete(F &&store)
    {
        auto s = m_state;
        if (!s)
            return;
        bool wake = false;
        {
            std::lock_guard g(s->lock);
            if (s->ready)
                return;
            store(*s);
            s->ready = true;
            wake = bool(s->waiter);
        }
        if (wake)
            postToMain([s] { s->resumeWaiter(); });
    }
    std::shared_ptr<detail::SharedState<T>> m_state;
};

// Awaited once, on the main thread, from a Task. Awaiting it is a
// suspension point even when the result is already there, so that a test
// counts the same points in every run.
template <typename T = void>
class Future {
public:
    Future(Future &&other) noexcept : m_state(std::move(other.m_state)), m_cancel(std::move(other.m_cancel)) {}
    Future(const Future &) = delete;
    Future &operator=(const Future &) = delete;
    ~Future()
    {
        if (m_state) {
            std::lock_guard g(m_state->lock);
            m_state->waiter = {};
            m_state->waiterCancel.reset();
        }
    }

    bool await_ready() const noexcept { return false; }
    template <typename P>
    bool await_suspend(std::coroutine_handle<P> h)
    {
        m_cancel = h.promise().cancel;
        std::lock_guard g(m_state->lock);
        if (m_state->ready)
            return false;
        m_state->waiter = h;
        m_state->waiterCancel = m_cancel;
        return true;
    }
    T await_resume()
    {
        if (detail::goingOn(m_cancel))
            throw CancelledError();
        std::lock_guard g(m_state->lock);
        if (m_state->error)
            std::rethrow_exception(m_state->error);
        if constexpr (!std::is_void_v<T>)
            return std::move(*m_state->value);
    }

private:
    friend class Promise<T>;
    explicit Future(std::shared_ptr<detail::SharedState<T>> s) : m_state(std::move(s)) {}
    std::shared_ptr<detail::SharedState<T>> m_state;
    std::shared_ptr<CancelState> m_cancel;
};

// ---- groups --------------------------------------------------------------

namespace detail {

struct GroupState : std::enable_shared_from_this<GroupState> {
    std::size_t remaining = 0;
    std::exception_ptr firstError;
    std::coroutine_handle<> parent;
    std::shared_ptr<CancelState> cancel;
    void childDone(std::exception_ptr error);
};

Task<void> runChild(Task<void> child, std::shared_ptr<GroupState> group);

} // namespace detail

// co_await whenAll(tasks): all run concurrently; resumes once every one has
// ended, then throws the first failure in order of completion, if any.
class whenAll {
public:
    explicit whenAll(std::vector<Task<void>> tasks);
    whenAll(const whenAll &) = delete;
    whenAll &operator=(const whenAll &) = delete;
    ~whenAll();

    bool await_ready() const noexcept { return false; }
    template <typename P>
    bool await_suspend(std::coroutine_handle<P> h) { return start(h, h.promise().cancel); }
    void await_resume();

private:
    // False when there is nothing to wait for.
    bool start(std::coroutine_handle<> parent, const std::shared_ptr<CancelState> &cancel);
    std::vector<Task<void>> m_children;
    std::shared_ptr<CancelState> m_cancel;
    std::shared_ptr<detail::GroupState> m_group;
};

// ---- root tasks ----------------------------------------------------------

namespace detail {
struct RootState;
}

// The handle of a launched root task. Main thread only.
class TaskHandle {
public:
    explicit TaskHandle(std::shared_ptr<detail::RootState> state) : m_state(std::move(state)) {}
    void cancel();
    bool isCancelled() const;
    bool isFinished() const;
    // Destroys the coroutine if it has not finished; for owners that die
    // before their task does. Late completions are then ignored.
    void destroy();

private:
    std::shared_ptr<detail::RootState> m_state;
};

// Runs the task now, up to its first suspension. A CancelledError escaping
// it ends it quietly; any other exception is a programming error (the root
// handles its own failures) and terminates.
TaskHandle launch(Task<void> task);

// Like launch(), but the new task shares the given cancellation: cancelling
// either cancels both. Its handle is for destroy(), not for cancel().
TaskHandle launch(Task<void> task, std::shared_ptr<CancelState> cancel);

// co_await spawn(task): launches a companion of the awaiting task (a live
// sampler, say) that is cancelled together with it, and returns its handle.
class spawn {
public:
    explicit spawn(Task<void> task) : m_task(std::move(task)) {}
    bool await_ready() const noexcept { return false; }
    template <typename P>
    bool await_suspend(std::coroutine_handle<P> h)
    {
        m_cancel = h.promise().cancel;
        m_handle.emplace(launch(std::move(m_task), m_cancel));
        return false;
    }
    TaskHandle await_resume()
    {
        if (detail::goingOn(m_cancel)) {
            m_handle->destroy(); // nobody would be left to stop it
            throw CancelledError();
        }
        return std::move(*m_handle);
    }

private:
    Task<void> m_task;
    std::shared_ptr<CancelState> m_cancel;
    std::optional<TaskHandle> m_handle;
};

} // namespace async
