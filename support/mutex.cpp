#include "vekmutex.h"

VekMutex::VekMutex() noexcept = default;
VekMutex::~VekMutex() = default;

void VekMutex::lock() { mutex_.lock(); }
void VekMutex::unlock() { mutex_.unlock(); }

VekMutexLocker::VekMutexLocker(VekMutex* mutex) : mutex_(mutex) {
    if (mutex_ != nullptr) mutex_->lock();
}

VekMutexLocker::~VekMutexLocker() { unlock(); }

void VekMutexLocker::unlock() {
    if (mutex_ == nullptr) return;
    mutex_->unlock();
    mutex_ = nullptr;
}
