// A clock that never waits: sleeps and time-outs move virtual time forward and are recorded.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Platform.h"

namespace platform::fakes {

class VirtualClock : public Clock {
public:
    struct Sleep {
        std::thread::id thread;
        int32_t ms;
    };

    void SleepMs(int32_t ms) override;
    int64_t NowSeconds() override { return nowMs_.load() / 1000; }
    std::shared_ptr<Event> CreateEvent() override;
    // An unsignalled event stays so: nothing in the virtual world completes a command later
    // than the call that started it, so the whole time-out passes at once.
    WaitResult Wait(Event& event, int32_t timeoutMs) override;

    int64_t NowMs() const { return nowMs_.load(); }
    void AdvanceMs(int64_t ms) { nowMs_ += ms; }
    std::vector<Sleep> Sleeps() const;
    std::vector<int32_t> SleepsOf(std::thread::id thread) const;
    std::vector<int32_t> WaitTimeouts() const;
    int EventsCreated() const { return eventsCreated_.load(); }
    void ClearRecords();

    // When set, Wait returns this instead of following the event (to model a failed wait).
    std::atomic<int> forcedWaitResult{0};

private:
    std::atomic<int64_t> nowMs_{1000000};
    std::atomic<int> eventsCreated_{0};
    mutable std::mutex mutex_;
    std::vector<Sleep> sleeps_;
    std::vector<int32_t> waits_;
};

}  // namespace platform::fakes
