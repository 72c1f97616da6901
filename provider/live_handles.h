// The handles the provider has handed out and not yet taken back, one set
// per kind. A handle is looked up here before anything behind it is read,
// so that a released, foreign or stale pointer is refused without touching
// memory that may already be freed or belong to someone else.
#ifndef PROVIDER_LIVE_HANDLES_H
#define PROVIDER_LIVE_HANDLES_H

#include <mutex>
#include <new>
#include <unordered_set>

namespace detail {

// The lock is held for one set operation only, so threads working with
// different handles wait for each other no longer than a lookup takes.
// Using a handle while another thread releases it stays the caller's fault,
// as with any handle.
template <typename T>
class LiveHandles {
public:
    // Registers handle; false (nothing registered) when memory runs out.
    [[nodiscard]] bool add(T* handle) {
        std::lock_guard<std::mutex> hold(lock_);
        try {
            live_.insert(handle);
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }

    // handle as a T when it is live, else null.
    T* find(const void* handle) {
        T* const wanted = static_cast<T*>(const_cast<void*>(handle));
        std::lock_guard<std::mutex> hold(lock_);
        return live_.count(wanted) != 0 ? wanted : nullptr;
    }

    // Takes handle out, for the caller to free: null when it was not live,
    // so that of two releases of one handle, even at once, only one frees.
    T* take(const void* handle) {
        T* const wanted = static_cast<T*>(const_cast<void*>(handle));
        std::lock_guard<std::mutex> hold(lock_);
        return live_.erase(wanted) != 0 ? wanted : nullptr;
    }

private:
    std::mutex lock_;
    std::unordered_set<T*> live_;
};

// The set of one kind, made on first use and never destroyed: a handle
// released by another static object's destructor at exit still finds it.
template <typename T>
LiveHandles<T>& liveHandles() {
    static LiveHandles<T>* const handles = new LiveHandles<T>();
    return *handles;
}

} // namespace detail

#endif // PROVIDER_LIVE_HANDLES_H
