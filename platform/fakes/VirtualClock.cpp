#include "platform/fakes/VirtualClock.h"

namespace platform::fakes {
namespace {

class FlagEvent : public Event {
public:
    void Signal() override { signalled_.store(true); }
    void Reset() override { signalled_.store(false); }
    bool IsSignalled() const override { return signalled_.load(); }

private:
    std::atomic<bool> signalled_{false};
};

}  // namespace

void VirtualClock::SleepMs(int32_t ms) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sleeps_.push_back({std::this_thread::get_id(), ms});
    }
    if (ms > 0) nowMs_ += ms;
}

std::shared_ptr<Event> VirtualClock::CreateEvent() {
    ++eventsCreated_;
    return std::make_shared<FlagEvent>();
}

WaitResult VirtualClock::Wait(Event& event, int32_t timeoutMs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        waits_.push_back(timeoutMs);
    }
    if (int forced = forcedWaitResult.load(); forced != 0) return static_cast<WaitResult>(forced);
    if (event.IsSignalled()) return WaitResult::Signalled;
    if (timeoutMs > 0) nowMs_ += timeoutMs;
    return WaitResult::TimedOut;
}

std::vector<VirtualClock::Sleep> VirtualClock::Sleeps() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sleeps_;
}

std::vector<int32_t> VirtualClock::SleepsOf(std::thread::id thread) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<int32_t> out;
    for (const auto& s : sleeps_)
        if (s.thread == thread) out.push_back(s.ms);
    return out;
}

std::vector<int32_t> VirtualClock::WaitTimeouts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return waits_;
}

void VirtualClock::ClearRecords() {
    std::lock_guard<std::mutex> lock(mutex_);
    sleeps_.clear();
    waits_.clear();
}

}  // namespace platform::fakes
