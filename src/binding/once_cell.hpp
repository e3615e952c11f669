// A process-wide value filled once. A thread never waits at the guard while
// holding the interpreter lock: it lets go of the lock, passes the guard, and
// takes the lock back before it fills or reads the value. The filler needs the
// lock (to import or create objects), so waiting with it held could deadlock.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

#include "binding/binding_error.hpp"

namespace tessellon::binding {

template <class T>
class OnceCell {
public:
    // Fast path after the first fill: one acquire load, no locking.
    const T* get() const noexcept { return ready_.load(std::memory_order_acquire) ? &value_ : nullptr; }

    // `fill` runs with the interpreter lock held and returns the value; it may
    // throw InternalFault, in which case the cell stays empty.
    template <class Fill>
    const T& get_or_fill(Fill&& fill) {
        if (const T* value = get()) {
            return *value;
        }
        std::unique_lock guard = acquire_without_lock();
        if (const T* value = get()) {
            return *value;
        }
        if (filler_.load() == std::this_thread::get_id()) {
            raise_internal_fault("re-entrant initialisation of a process-wide value");
        }
        filler_.store(std::this_thread::get_id());
        struct ClearFiller {
            std::atomic<std::thread::id>& filler;
            ~ClearFiller() { filler.store({}); }
        } clear_filler{filler_};
        value_ = std::forward<Fill>(fill)();
        ready_.store(true, std::memory_order_release);
        return value_;
    }

private:
    std::unique_lock<std::mutex> acquire_without_lock() {
        // The same thread re-entering from inside its own fill must not block.
        if (filler_.load() == std::this_thread::get_id()) {
            return {};
        }
        PyThreadState* saved = PyEval_SaveThread();
        std::unique_lock guard(mutex_);
        PyEval_RestoreThread(saved);
        return guard;
    }

    std::atomic<bool> ready_{false};
    std::mutex mutex_;
    std::atomic<std::thread::id> filler_{};
    T value_{};
};

}  // namespace tessellon::binding

