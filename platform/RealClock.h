// The machine's clock. A speed factor above 1 shortens every modelled wait (demos on virtual
// drives); real drives always run at 1.
#pragma once

#include "platform/Platform.h"

namespace platform {

class RealClock : public Clock {
public:
    explicit RealClock(double speed = 1.0);
    void SleepMs(int32_t ms) override;
    int64_t NowSeconds() override;
    std::shared_ptr<Event> CreateEvent() override;
    WaitResult Wait(Event& event, int32_t timeoutMs) override;
    double Speed() const { return speed_; }

private:
    double speed_;
};

}  // namespace platform
