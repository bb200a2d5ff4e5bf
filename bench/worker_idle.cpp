// Ten workers between jobs, waiting and parked, over one second of real time: the CPU time they
// take should be nothing.
#include <pthread.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "AspiThread/AspiExec.h"
#include "drive_access/DeviceTable.h"
#include "platform/fakes/Fakes.h"
#include "platform/fakes/VirtualClock.h"
#include "virtual_drives/BayFile.h"
#include "virtual_drives/VirtualBay.h"

namespace {

double ThreadCpuMs(std::thread::native_handle_type thread) {
    clockid_t id;
    timespec ts{};
    if (pthread_getcpuclockid(thread, &id) != 0 || clock_gettime(id, &ts) != 0) return -1;
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

}  // namespace

int main() {
    platform::fakes::VirtualClock clock;
    platform::fakes::FakeProcess process;
    platform::fakes::FakeDialogs dialogs;
    // Five drives without a disc (their workers wait), five good ones (their workers park).
    auto description = virtual_drives::GoodDrives(10);
    for (int d = 0; d < 5; ++d) description.drives[d].medium = virtual_drives::Medium::TrayClosed;
    virtual_drives::VirtualBay bay(description, clock);
    platform::Platform platform{&clock, &bay.Devices(), &bay.Aspi(), &process, &dialogs};
    drive_access::DeviceTable table(platform);
    drive_access::ScopedDeviceTable scope(table);

    std::vector<std::unique_ptr<AspiExec>> workers;
    for (int d = 0; d < 10; ++d) {
        workers.push_back(std::make_unique<AspiExec>(true, clock));
        workers.back()->DeviceIndex = d;
        workers.back()->HandOver(d, false);
    }
    for (auto& w : workers) w->WaitIdle();

    std::vector<double> before;
    for (auto& w : workers) before.push_back(ThreadCpuMs(w->NativeHandle()));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    double waiting = 0, parked = 0;
    for (int d = 0; d < 10; ++d) {
        const double used = ThreadCpuMs(workers[d]->NativeHandle()) - before[d];
        (d < 5 ? waiting : parked) += used;
    }
    std::printf("idle_cpu_ms_per_s waiting_workers=%.3f parked_workers=%.3f (five of each)\n", waiting, parked);
    return waiting + parked < 10 ? 0 : 1;
}
