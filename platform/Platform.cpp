#include "platform/Platform.h"

#include <atomic>

namespace platform {

uint8_t AspiStatus(const SrbHeader& header) {
    return std::atomic_ref<uint8_t>(const_cast<uint8_t&>(header.SRB_Status)).load(std::memory_order_acquire);
}

void SetAspiStatus(SrbHeader& header, uint8_t status) {
    std::atomic_ref<uint8_t>(header.SRB_Status).store(status, std::memory_order_release);
}

}  // namespace platform
