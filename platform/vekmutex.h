// A plain, non-recursive mutex and a scope guard for it.
#ifndef VEKMUTEX_H
#define VEKMUTEX_H

#include <mutex>

#include "vek4_export.h"

class VEK4CMS_API VekMutex {
public:
    VekMutex() noexcept;
    ~VekMutex();
    VekMutex(const VekMutex&) = delete;
    VekMutex& operator=(const VekMutex&) = delete;

    void lock();
    void unlock();

private:
    std::mutex mutex_;
};

// Locks a mutex for the life of the guard; a null mutex is not locked (an
// object whose construction failed has none and runs unlocked).
class VEK4CMS_API VekMutexLocker {
public:
    explicit VekMutexLocker(VekMutex* mutex);
    ~VekMutexLocker();
    VekMutexLocker(const VekMutexLocker&) = delete;
    VekMutexLocker& operator=(const VekMutexLocker&) = delete;

    // Unlocks before the end of the scope; the destructor then does nothing.
    void unlock();

private:
    VekMutex* mutex_;
};

#endif // VEKMUTEX_H
