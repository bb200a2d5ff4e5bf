// One simulated DVD writer: answers command blocks, keeps a 2 MiB flash, and misbehaves on cue.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "virtual_drives/DriveConfig.h"

namespace virtual_drives {

enum class Direction { None, In, Out };

enum class Outcome {
    Done,  // status and sense below hold the answer
    Hung,  // the command never completes; the transport decides how the caller learns that
    Gone,  // the drive has left the bus
};

struct Answer {
    Outcome outcome = Outcome::Done;
    uint8_t status = 0;  // 0 GOOD, 2 CHECK CONDITION
    Sense sense;         // with CHECK CONDITION
    uint32_t transferred = 0;

    bool Good() const { return outcome == Outcome::Done && status == 0; }
    // Fixed-format sense data, 18 bytes.
    std::array<uint8_t, 18> SenseBytes() const;
};

struct CommandRecord {
    std::array<uint8_t, 12> cdb{};
    Direction direction = Direction::None;
    uint32_t length = 0;
    Outcome outcome = Outcome::Done;
    uint8_t status = 0;
    Sense sense;
};

class VirtualDrive {
public:
    // `serial` replaces the config's when that is empty.
    VirtualDrive(DriveConfig config, const std::string& serial, platform::Clock& clock);
    VirtualDrive(const VirtualDrive&) = delete;
    VirtualDrive& operator=(const VirtualDrive&) = delete;

    // Runs one command: 12 bytes of `cdb` are read, `cdbLength` says how many count; `data` is the
    // caller's buffer of `length` bytes. Spends the modelled latency on the clock before returning
    // a completed answer. Safe from any number of threads.
    Answer Execute(const uint8_t* cdb, uint8_t cdbLength, Direction direction, void* data, uint32_t length);

    const DriveConfig& Config() const { return config_; }
    const std::string& Serial() const { return serial_; }

    // State, for tests and for whoever shows the bay.
    bool Present() const;
    Medium MediumState() const;
    std::vector<uint8_t> Flash() const;
    int BlocksReceived() const;  // blocks acknowledged with GOOD, over the drive's life
    int Updates() const;         // payloads programmed into the flash
    // Whether a whole flash read, retried once where it fails, would get every byte now.
    bool FlashReadable() const;
    int Resets() const;
    bool UnitAttentionPending() const;
    int CommandCount() const;
    std::vector<CommandRecord> Log() const;

private:
    Answer Dispatch(const uint8_t* cdb, uint8_t cdbLength, Direction direction, uint8_t* data, uint32_t length);
    Answer Inquiry(const uint8_t* cdb, Direction direction, uint8_t* data, uint32_t length);
    Answer VitalProductData(uint8_t page, Direction direction, uint8_t* data, uint32_t length, uint32_t allocation);
    Answer TestUnitReady();
    Answer StartStop(const uint8_t* cdb);
    Answer ReadFlash(const uint8_t* cdb, Direction direction, uint8_t* data, uint32_t length);
    Answer WriteBlock(const uint8_t* cdb, Direction direction, const uint8_t* data, uint32_t length);
    // Checks the whole transfer and programs it; the sense to refuse it with otherwise.
    std::optional<Sense> Program();
    void Restart();
    int32_t LatencyOf(const uint8_t* cdb) const;

    const DriveConfig config_;
    const std::string serial_;
    platform::Clock& clock_;

    mutable std::mutex mutex_;
    std::vector<uint8_t> flash_;
    Medium medium_;
    const bool discInTray_;  // what closing the tray brings back: nobody inserts a disc
    bool present_ = true;
    bool unitAttention_ = false;
    int commands_ = 0;
    int blocksReceived_ = 0;
    int updates_ = 0;
    int resets_ = 0;
    size_t turScriptPos_ = 0;
    std::vector<bool> readFailureSpent_;
    std::vector<CommandRecord> log_;

    // The transfer in progress.
    bool receiving_ = false;
    int nextBlock_ = 0;
    uint8_t blockCount_ = 0;
    uint16_t firstSum_ = 0;
    uint16_t secondSum_ = 0;
    std::vector<uint8_t> received_;
};

}  // namespace virtual_drives
