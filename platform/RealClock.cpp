#include "platform/RealClock.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>

namespace platform {
namespace {

class CvEvent : public Event {
public:
    // Notifies under the lock, so a waiter woken by it cannot see the event torn down mid-call.
    void Signal() override {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = true;
        cv_.notify_all();
    }
    void Reset() override {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = false;
    }
    bool IsSignalled() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return signalled_;
    }
    bool WaitFor(std::chrono::nanoseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [this] { return signalled_; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

std::chrono::nanoseconds Scaled(int32_t ms, double speed) {
    if (ms <= 0) return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(static_cast<int64_t>(static_cast<double>(ms) * 1e6 / speed));
}

}  // namespace

RealClock::RealClock(double speed) : speed_(speed > 0 ? speed : 1.0) {}

void RealClock::SleepMs(int32_t ms) {
    const auto ns = Scaled(ms, speed_).count();
    if (ns <= 0) return;
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR) {
    }
}

int64_t RealClock::NowSeconds() {
    // A scaled clock keeps the abort's seconds limit in step with the scaled waits.
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const double seconds = (static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9) * speed_;
    return static_cast<int64_t>(seconds);
}

std::shared_ptr<Event> RealClock::CreateEvent() { return std::make_shared<CvEvent>(); }

WaitResult RealClock::Wait(Event& event, int32_t timeoutMs) {
    auto* cv = dynamic_cast<CvEvent*>(&event);
    if (cv == nullptr) return WaitResult::Failed;
    return cv->WaitFor(Scaled(timeoutMs, speed_)) ? WaitResult::Signalled : WaitResult::TimedOut;
}

}  // namespace platform
