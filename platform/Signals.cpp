#include "platform/Signals.h"

#include <signal.h>

#include <atomic>

namespace platform {
namespace {

std::atomic<int> interrupts{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler may only touch lock-free atomics");

void OnInterrupt(int) { interrupts.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

void CountInterrupts() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int Interrupts() { return interrupts.load(std::memory_order_relaxed); }

}  // namespace platform
