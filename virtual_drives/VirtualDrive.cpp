#include "virtual_drives/VirtualDrive.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "virtual_drives/FlashImage.h"

namespace virtual_drives {
namespace {

constexpr uint8_t kTestUnitReady = 0x00;
constexpr uint8_t kInquiry = 0x12;
constexpr uint8_t kStartStop = 0x1B;
constexpr uint8_t kFlashRead = 0xA0;
constexpr uint8_t kBlockWrite = 0xFA;
constexpr uint32_t kInquiryLength = 36;

Answer Good(uint32_t transferred = 0) {
    Answer a;
    a.transferred = transferred;
    return a;
}

Answer Check(Sense s) {
    Answer a;
    a.status = 2;
    a.sense = s;
    return a;
}

void PutPadded(uint8_t* out, const std::string& text, size_t width) {
    std::memset(out, ' ', width);
    std::memcpy(out, text.data(), std::min(text.size(), width));
}

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

// The flash image a payload carries, or nothing when the bytes are not a whole one.
std::optional<std::vector<uint8_t>> Inflate(const std::vector<uint8_t>& payload) {
    if (payload.size() < 4) return std::nullopt;
    const uint32_t length = uint32_t{payload[0]} | uint32_t{payload[1]} << 8 | uint32_t{payload[2]} << 16 |
                            uint32_t{payload[3]} << 24;
    if (length == 0 || length > payload.size() - 4) return std::nullopt;
    // One spare byte tells an image that is too long from one that fits exactly.
    std::vector<uint8_t> image(kFlashSize + 1);
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) return std::nullopt;
    zs.next_in = const_cast<Bytef*>(payload.data() + 4);
    zs.avail_in = length;
    zs.next_out = image.data();
    zs.avail_out = static_cast<uInt>(image.size());
    const int rc = inflate(&zs, Z_FINISH);
    const bool whole = rc == Z_STREAM_END && zs.total_out == kFlashSize && zs.avail_in == 0;
    inflateEnd(&zs);
    if (!whole) return std::nullopt;
    image.resize(kFlashSize);
    return image;
}

}  // namespace

std::array<uint8_t, 18> Answer::SenseBytes() const {
    std::array<uint8_t, 18> out{};
    out[0] = 0x70;
    out[2] = sense.key;
    out[7] = 10;
    out[12] = sense.asc;
    out[13] = sense.ascq;
    return out;
}

VirtualDrive::VirtualDrive(DriveConfig config, const std::string& serial, platform::Clock& clock)
    : config_(std::move(config)),
      serial_(config_.serial.empty() ? serial : config_.serial),
      clock_(clock),
      flash_(OlderFirmware(config_.firmwareSeed)),
      medium_(config_.medium),
      discInTray_(config_.medium == Medium::Ready),
      readFailureSpent_(config_.readFailures.size(), false) {
    const auto area = DriveArea(serial_);
    std::copy(area.begin(), area.end(), flash_.begin() + kDriveAreaStart);
}

Answer VirtualDrive::Execute(const uint8_t* cdb, uint8_t cdbLength, Direction direction, void* data,
                             uint32_t length) {
    auto* bytes = static_cast<uint8_t*>(data);
    if (bytes == nullptr) length = 0;
    CommandRecord record;
    std::copy_n(cdb, record.cdb.size(), record.cdb.begin());
    record.direction = direction;
    record.length = length;

    Answer answer;
    bool programmed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!present_) {
            answer.outcome = Outcome::Gone;
        } else {
            ++commands_;
            const bool hangBlock = cdb[0] == kBlockWrite && config_.hangAtBlock >= 0 && cdb[5] == config_.hangAtBlock;
            if (commands_ == config_.hangAtCommand || hangBlock) {
                // Whatever the drive was receiving is lost with the command.
                receiving_ = false;
                received_.clear();
                answer.outcome = Outcome::Hung;
            } else if (unitAttention_ && cdb[0] != kInquiry) {
                // Like a real unit, it answers INQUIRY and keeps the attention for what follows.
                unitAttention_ = false;
                answer = Check(sense::Reset);
            } else {
                const int updatesBefore = updates_;
                answer = Dispatch(cdb, cdbLength, direction, bytes, length);
                programmed = updates_ != updatesBefore;
            }
            if (commands_ == config_.vanishAfter) present_ = false;
        }
        record.outcome = answer.outcome;
        record.status = answer.status;
        record.sense = answer.sense;
        log_.push_back(record);
    }
    if (answer.outcome == Outcome::Done) {
        const int32_t ms = LatencyOf(cdb) + (programmed ? config_.programLatency : 0);
        if (ms > 0) clock_.SleepMs(ms);
    }
    return answer;
}

int32_t VirtualDrive::LatencyOf(const uint8_t* cdb) const {
    auto pick = [this](int32_t specific) { return specific >= 0 ? specific : config_.latency; };
    switch (cdb[0]) {
    case kFlashRead:
        return pick(config_.readLatency);
    case kBlockWrite:
        return pick(config_.writeLatency);
    case kStartStop:
        return (cdb[4] & 0x02) ? pick(config_.ejectLatency) : config_.latency;
    default:
        return config_.latency;
    }
}

Answer VirtualDrive::Dispatch(const uint8_t* cdb, uint8_t cdbLength, Direction direction, uint8_t* data,
                              uint32_t length) {
    const uint8_t opcode = cdb[0];
    const uint8_t needed = opcode >= 0x20 ? 12 : 6;
    if (opcode != kTestUnitReady && opcode != kInquiry && opcode != kStartStop && opcode != kFlashRead &&
        opcode != kBlockWrite)
        return Check(sense::InvalidOpcode);
    if (cdbLength < needed) return Check(sense::InvalidField);
    switch (opcode) {
    case kTestUnitReady:
        return TestUnitReady();
    case kInquiry:
        return Inquiry(cdb, direction, data, length);
    case kStartStop:
        return StartStop(cdb);
    case kFlashRead:
        return ReadFlash(cdb, direction, data, length);
    default:
        return WriteBlock(cdb, direction, data, length);
    }
}

Answer VirtualDrive::Inquiry(const uint8_t* cdb, Direction direction, uint8_t* data, uint32_t length) {
    if (config_.inquiryFailure) return Check(*config_.inquiryFailure);
    if (cdb[1] & 0x01) return VitalProductData(cdb[2], direction, data, length, cdb[3] << 8 | cdb[4]);
    if (cdb[2] != 0) return Check(sense::InvalidField);
    uint8_t standard[kInquiryLength] = {};
    standard[0] = config_.deviceType;
    standard[1] = 0x80;  // removable
    standard[2] = 0x05;
    standard[3] = 0x32;
    standard[4] = kInquiryLength - 5;
    PutPadded(standard + 8, config_.vendor, 8);
    PutPadded(standard + 16, config_.product, 16);
    PutPadded(standard + 32, config_.revision, 4);
    if (direction != Direction::In) return Good();
    const uint32_t n = std::min({uint32_t{cdb[4]}, length, kInquiryLength});
    if (n > 0) std::memcpy(data, standard, n);
    return Good(n);
}

// Page 00h lists the pages, page 80h is the unit serial number; no other page is kept.
Answer VirtualDrive::VitalProductData(uint8_t page, Direction direction, uint8_t* data, uint32_t length,
                                      uint32_t allocation) {
    std::vector<uint8_t> answer = {config_.deviceType, page, 0, 0};
    if (page == 0x00) {
        answer.insert(answer.end(), {0x00, 0x80});
    } else if (page == 0x80) {
        answer.insert(answer.end(), serial_.begin(), serial_.end());
    } else {
        return Check(sense::InvalidField);
    }
    answer[3] = static_cast<uint8_t>(answer.size() - 4);
    if (direction != Direction::In) return Good();
    const uint32_t n = std::min({allocation, length, static_cast<uint32_t>(answer.size())});
    if (n > 0) std::memcpy(data, answer.data(), n);
    return Good(n);
}

Answer VirtualDrive::TestUnitReady() {
    if (turScriptPos_ < config_.testUnitReadyScript.size()) {
        const auto& scripted = config_.testUnitReadyScript[turScriptPos_++];
        return scripted ? Check(*scripted) : Good();
    }
    switch (medium_) {
    case Medium::Ready:
        return Good();
    case Medium::NoMedium:
        return Check(sense::NoMedium);
    case Medium::TrayClosed:
        return Check(sense::TrayClosed);
    case Medium::TrayOpen:
        return Check(sense::TrayOpen);
    }
    return Good();
}

Answer VirtualDrive::StartStop(const uint8_t* cdb) {
    const uint8_t control = cdb[4];
    if (!(control & 0x02)) return Good();  // spindle only: nothing to model
    if (control & 0x01) {
        if (medium_ == Medium::TrayOpen) medium_ = discInTray_ ? Medium::Ready : Medium::TrayClosed;
    } else {
        medium_ = Medium::TrayOpen;
    }
    return Good();
}

Answer VirtualDrive::ReadFlash(const uint8_t* cdb, Direction direction, uint8_t* data, uint32_t length) {
    if (cdb[1] != 0x15 || cdb[2] != 0x0A) return Check(sense::InvalidField);
    const uint32_t address = Be32(cdb + 6);
    const uint32_t count = Be16(cdb + 10);
    if (uint64_t{address} + count > kFlashSize) return Check(sense::InvalidField);
    if (count > 0 && (direction != Direction::In || length < count)) return Check(sense::InvalidField);
    for (size_t i = 0; i < config_.readFailures.size(); ++i) {
        const auto& failure = config_.readFailures[i];
        if (failure.address < address || failure.address >= uint64_t{address} + count) continue;
        if (failure.once && readFailureSpent_[i]) continue;
        readFailureSpent_[i] = true;
        return Check(failure.sense);
    }
    if (count > 0) std::memcpy(data, flash_.data() + address, count);
    return Good(count);
}

Answer VirtualDrive::WriteBlock(const uint8_t* cdb, Direction direction, const uint8_t* data, uint32_t length) {
    if (direction != Direction::Out || length != kBlockSize) return Check(sense::InvalidField);
    const uint8_t index = cdb[5];
    const uint8_t flag = cdb[6];
    const uint8_t count = cdb[11];
    if (std::memcmp(cdb + 1, cdb + 7, 4) != 0 || flag != 1 || count == 0 || index >= count)
        return Check(sense::InvalidField);
    const uint16_t first = Be16(cdb + 1);
    const uint16_t second = Be16(cdb + 3);
    if (index == 0) {
        receiving_ = true;
        nextBlock_ = 0;
        blockCount_ = count;
        firstSum_ = first;
        secondSum_ = second;
        received_.clear();
    } else if (!receiving_ || index != nextBlock_) {
        return Check(sense::SequenceError);
    } else if (count != blockCount_ || first != firstSum_ || second != secondSum_) {
        return Check(sense::InvalidField);
    }
    const bool last = index == count - 1;

    for (const auto& refusal : config_.refuseBlocks) {
        if (refusal.block != index) continue;
        if (refusal.sense.key == 0x06 && refusal.sense.asc == 0x29) {
            // Restarts before it acknowledges; on the last block it has programmed first.
            if (last) {
                received_.insert(received_.end(), data, data + kBlockSize);
                Program();
            }
            Restart();
        } else {
            receiving_ = false;
            received_.clear();
        }
        return Check(refusal.sense);
    }

    received_.insert(received_.end(), data, data + kBlockSize);
    ++blocksReceived_;
    ++nextBlock_;
    if (!last) return Good();
    if (auto refused = Program()) {
        receiving_ = false;
        received_.clear();
        return Check(*refused);
    }
    Restart();
    unitAttention_ = true;
    return Good();
}

std::optional<Sense> VirtualDrive::Program() {
    if (AdditiveSum(received_.data(), received_.size()) != firstSum_ ||
        RotatingSum(received_.data(), received_.size()) != secondSum_)
        return sense::PayloadSums;
    auto image = Inflate(received_);
    if (!image) return sense::PayloadImage;
    std::copy_n(flash_.begin() + kDriveAreaStart, kDriveAreaSize, image->begin() + kDriveAreaStart);
    flash_ = std::move(*image);
    ++updates_;
    return std::nullopt;
}

void VirtualDrive::Restart() {
    ++resets_;
    receiving_ = false;
    received_.clear();
    received_.shrink_to_fit();
}

bool VirtualDrive::Present() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return present_;
}

Medium VirtualDrive::MediumState() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return medium_;
}

std::vector<uint8_t> VirtualDrive::Flash() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return flash_;
}

int VirtualDrive::BlocksReceived() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return blocksReceived_;
}

bool VirtualDrive::FlashReadable() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!present_) return false;
    // A failure that happens once is overcome by the retry.
    for (const auto& failure : config_.readFailures)
        if (!failure.once) return false;
    return true;
}

int VirtualDrive::Updates() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return updates_;
}

int VirtualDrive::Resets() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return resets_;
}

bool VirtualDrive::UnitAttentionPending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unitAttention_;
}

int VirtualDrive::CommandCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

std::vector<CommandRecord> VirtualDrive::Log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

}  // namespace virtual_drives
