#include "AspiThread/AspiExec.h"

#include <cerrno>
#include <cstring>

#include "firmware/FirmwareImage.h"
#include "firmware/FlashRomChecksum.h"

using namespace drive_access;

DeviceNameTable DeviceNames;
std::array<std::atomic<uint8_t>, kWorkerCount> WrongDrive{};

std::string DeviceNameTable::Get(int index) const {
    if (index < 0 || index >= kWorkerCount) return std::string();
    std::lock_guard<std::mutex> lock(mutex_);
    return names_[index];
}

void DeviceNameTable::Set(int index, std::string name) {
    if (index < 0 || index >= kWorkerCount) return;
    std::lock_guard<std::mutex> lock(mutex_);
    names_[index] = std::move(name);
}

void DeviceNameTable::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& n : names_) n.clear();
}

namespace {


std::string TrimmedName(const uint8_t* inquiry) {
    const char* text = reinterpret_cast<const char*>(inquiry + 8);
    size_t end = strnlen(text, 24);
    size_t begin = 0;
    while (begin < end && static_cast<unsigned char>(text[begin]) <= 32) ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32) --end;
    return std::string(text + begin, end - begin);
}

}  // namespace

bool IsModelToUpdate(const uint8_t* inquiry) {
    return std::memcmp(inquiry + 8, kModelVendor, 5) == 0 && std::memcmp(inquiry + 16, kModelProduct, 14) == 0;
}

AspiExec::AspiExec(bool createSuspended, platform::Clock& clock, const firmware::FirmwareImage* image)
    : clock_(clock), image_(image ? *image : firmware::BuiltInFirmware) {
    resumed_ = !createSuspended;
    thread_ = std::thread([this] { Execute(); });
}

AspiExec::~AspiExec() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void AspiExec::HandOver(int32_t reportIndex, bool verify) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ReportIndex = reportIndex;
        VerifyFlag = verify ? 1 : 0;
        RunFlag = 1;
        ++handed_;
    }
    Resume();
}

void AspiExec::Resume() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        resumed_ = true;
    }
    cv_.notify_all();
}

bool AspiExec::Busy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_ < handed_;
}

void AspiExec::WaitIdle() const {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return ended_ >= handed_; });
}

uint64_t AspiExec::JobsEnded() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
}

AspiExec::State AspiExec::CurrentState() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

void AspiExec::Execute() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        // Created or parked: wait for a resume. Waiting: wait for a job. Never spin.
        cv_.wait(lock, [this] { return stopping_ || (resumed_ && ended_ < handed_); });
        if (stopping_ && ended_ >= handed_) return;
        resumed_ = true;
        state_ = State::Working;
        const int32_t reportIndex = ReportIndex;
        const bool verify = VerifyFlag != 0;
        lock.unlock();
        const bool park = RunJob(reportIndex, verify);
        lock.lock();
        ++ended_;
        // RunFlag stays set while a job handed over meanwhile is still to run.
        if (ended_ >= handed_) RunFlag = 0;
        if (park) {
            resumed_ = false;
            state_ = State::Parked;
        } else {
            state_ = State::Waiting;
        }
        // A job handed over meanwhile came with its own resume: it runs next, parked or not.
        if (ended_ < handed_) resumed_ = true;
        cv_.notify_all();
    }
}

void AspiExec::Enter(JobState state) {
    PhaseSince = clock_.NowSeconds();
    Phase = state;
}

void AspiExec::Stopped(JobStop stop, int32_t block, uint32_t sense, int32_t error) {
    StopBlock = block;
    StopSense = sense;
    StopError = error;
    Stop = stop;
}

bool AspiExec::RunJob(int32_t reportIndex, bool verify) {
    Stopped(JobStop::None, -1, 0, 0);
    ReadBackFailed = 0;
    PhaseBlock = 0;
    Enter(JobState::Identifying);
    Attach(Link, DeviceIndex);
    BusyHolder = 0;
    int holder = 0;
    if (LinkProblem(Link, &holder) == EBUSY) {
        {
            std::lock_guard<std::mutex> lock(identityMutex_);
            identity_.clear();
        }
        DeviceNames.Set(reportIndex, std::string());
        BusyHolder = holder;
        ResultCode = ResultBusy;
        Stopped(JobStop::Busy, -1, 0, EBUSY);
        Enter(JobState::Busy);
        Detach(Link);
        return true;
    }

    // A drive that does not answer must not pass on an earlier job's answer.
    std::memset(buffer_, 0, sizeof buffer_);
    const int answered = Inquiry(Link, buffer_, 32);
    // A failed transfer may still leave bytes of an earlier command behind: none of them is a name.
    if (!answered) std::memset(buffer_, 0, sizeof buffer_);
    buffer_[32] = 0;
    {
        std::lock_guard<std::mutex> lock(identityMutex_);
        identity_ = TrimmedName(buffer_);
        DeviceNames.Set(reportIndex, identity_);
    }
    if (!answered) {
        ResultCode = ResultFailed;
        Stopped(JobStop::NoAnswer, -1, SenseCode(Link), LinkError(Link));
        Enter(JobState::Failed);
        Detach(Link);
        return true;
    }

    if (!IsModelToUpdate(buffer_)) {
        ResultCode = ResultWrongDrive;
        if (reportIndex >= 0 && reportIndex < kWorkerCount) WrongDrive[reportIndex] = 1;
        Enter(JobState::WrongModel);
        Detach(Link);
        return true;
    }

    Enter(JobState::WaitingForDrive);
    if (!TestUnitReadyWait(Link, kMediumTestTimeoutMs)) {
        const uint32_t code = SenseCode(Link);
        if ((code & 0xFFFF00) == kSenseNoMedium && (code & 0xFF) != 0) {
            ResultCode = ResultFailed;
            Stopped(JobStop::NoMedium, -1, code, 0);
            Enter(JobState::Failed);
            Detach(Link);
            return false;
        }
    }

    Enter(JobState::Ejecting);
    StartStopUnit(Link, 2, 0);
    ResultCode = ResultOk;

    Enter(JobState::Writing);
    const int32_t count = image_.BlockCount;
    for (int32_t i = 0; i < count; ++i) {
        PhaseBlock = i;
        if (WriteFlashBlock(Link, image_.Blocks + static_cast<size_t>(i) * FlashBlockSize, image_.AdditiveSum,
                            image_.RotatingSum, static_cast<uint8_t>(i & 0xFF), static_cast<uint8_t>(count & 0xFF),
                            1)) {
            clock_.SleepMs(10);
            continue;
        }
        ReadSense(Link, buffer_);
        // A drive that restarts on the last block has programmed the image and reset before it
        // could acknowledge. One that restarts earlier has lost the transfer and programmed nothing.
        const bool restarted = buffer_[2] == 0x06 && buffer_[12] == 0x29;
        const uint32_t sense = uint32_t{buffer_[2]} << 16 | uint32_t{buffer_[12]} << 8 | buffer_[13];
        if (!(restarted && i == count - 1)) {
            ResultCode = ResultFailed;
            const int error = LinkError(Link);
            Stopped(restarted    ? JobStop::BlockRestarted
                    : sense != 0 ? JobStop::BlockRefused
                                 : JobStop::BlockLost,
                    i, sense, sense != 0 ? 0 : (error != 0 ? error : EIO));
        }
        break;
    }

    Enter(JobState::Programming);
    clock_.SleepMs(3000);
    clock_.SleepMs(57000);

    if (ResultCode == ResultOk && verify) {
        Enter(JobState::Verifying);
        bool failed = false;
        ReadBackSum = firmware::FlashRomChecksum(Link, firmware::OnFailedRead::RetryOnceThenZero, {}, &failed);
        ReadBackFailed = failed ? 1 : 0;
    }
    Enter(ResultCode != ResultOk ? JobState::Failed : verify ? JobState::Verified : JobState::Updated);
    Detach(Link);
    return true;
}

std::string AspiExec::LastIdentity() const {
    std::lock_guard<std::mutex> lock(identityMutex_);
    return identity_;
}

uint16_t AspiExec::ReadBackChecksum() {
    return firmware::FlashRomChecksum(Link, firmware::OnFailedRead::RetryOnceThenZero);
}
