#include "virtual_drives/VirtualBay.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace virtual_drives {
namespace {

constexpr int kTargetsPerAdapter = 8;
constexpr uint8_t kHostSelectionTimeout = 0x11;

std::string DefaultSerial(int index) {
    char text[16];
    std::snprintf(text, sizeof text, "VD%06d", index + 1);
    return text;
}

}  // namespace

// ---------------------------------------------------------------- pass-through

class VirtualBay::PassThroughHost : public platform::DeviceHost {
public:
    explicit PassThroughHost(VirtualBay& bay) : bay_(bay) {
        for (int i = 0; i < bay.DriveCount(); ++i)
            if (bay.Drive(i).Config().deviceType == kTypeCdDvd) optical_.push_back(i);
    }

    std::vector<platform::OpticalDrive> ListOpticalDrives() override {
        std::vector<platform::OpticalDrive> out;
        for (size_t id = 0; id < optical_.size(); ++id)
            if (bay_.Drive(optical_[id]).Present())
                out.push_back({static_cast<int>(id), "virtual:sr" + std::to_string(id)});
        return out;
    }

    platform::Handle Open(int id, int* error) override {
        int fail = 0;
        if (id < 0 || static_cast<size_t>(id) >= optical_.size())
            fail = ENOENT;
        else if (!bay_.Drive(optical_[id]).Present())
            fail = ENODEV;
        else if (bay_.Drive(optical_[id]).Config().busyHolder != 0)
            fail = EBUSY;
        if (fail != 0) {
            if (error) *error = fail;
            return platform::kInvalidHandle;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        const platform::Handle handle = nextHandle_++;
        open_[handle] = optical_[id];
        return handle;
    }

    platform::AccessProblem Access(int id) override {
        if (id < 0 || static_cast<size_t>(id) >= optical_.size()) return {};
        const int holder = bay_.Drive(optical_[id]).Config().busyHolder;
        if (holder == 0) return {};
        return {EBUSY, "virtual:sr" + std::to_string(id), holder};
    }

    void Close(platform::Handle handle) override {
        std::lock_guard<std::mutex> lock(mutex_);
        open_.erase(handle);
    }

    int SendPassThrough(platform::Handle handle, platform::PassThroughBlock& block, int* error) override {
        int unit = -1;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (auto it = open_.find(handle); it != open_.end()) unit = it->second;
        }
        auto fail = [error](int code) {
            if (error) *error = code;
            return 0;
        };
        if (unit < 0) return fail(EBADF);

        auto& s = block.Spt;
        const Direction direction = s.DataDirection == platform::TransferIn    ? Direction::In
                                    : s.DataDirection == platform::TransferOut ? Direction::Out
                                                                    : Direction::None;
        void* data = direction == Direction::None ? nullptr : s.DataBuffer;
        const Answer answer = bay_.Drive(unit).Execute(s.Cdb, s.CdbLength, direction, data, s.DataTransferLength);
        switch (answer.outcome) {
        case Outcome::Gone:
            return fail(ENODEV);
        case Outcome::Hung:
            // The kernel gives up on the command once its time-out has passed.
            bay_.Clock().SleepMs(static_cast<int32_t>(std::min<uint32_t>(s.TimeOutValue, 2000000u) * 1000));
            return fail(ETIMEDOUT);
        case Outcome::Done:
            break;
        }
        s.ScsiStatus = answer.status;
        if (direction == Direction::In) s.DataTransferLength = answer.transferred;
        if (answer.status != 0) {
            const auto sense = answer.SenseBytes();
            const size_t n = std::min({size_t{s.SenseInfoLength}, sense.size(), sizeof block.SenseBuffer});
            std::memcpy(block.SenseBuffer, sense.data(), n);
        }
        return 1;
    }

private:
    VirtualBay& bay_;
    std::vector<int> optical_;  // unit index by id
    std::mutex mutex_;
    std::map<platform::Handle, int> open_;
    platform::Handle nextHandle_ = 0x10;
};

// ---------------------------------------------------------------- ASPI-style manager

class VirtualBay::AspiManager : public platform::AspiLoader {
public:
    explicit AspiManager(VirtualBay& bay) : bay_(bay) {
        for (int i = 0; i < bay.DriveCount(); ++i) at_.emplace(bay.AspiPosition(i), i);  // first one wins
    }

    void* Load(const std::string& name) override {
        std::string upper = name;
        std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
        return upper == "WNASPI32.DLL" ? &token_ : nullptr;
    }

    platform::GetSupportInfoFn GetSupportInfo(void* library) override {
        if (library != &token_) return {};
        const uint32_t adapters = static_cast<uint32_t>(bay_.HostAdapterCount());
        return [adapters] { return uint32_t{platform::SS_COMP} << 8 | adapters; };
    }

    platform::SendCommandFn SendCommand(void* library) override {
        if (library != &token_) return {};
        return [this](platform::SrbHeader* srb) { return Send(srb); };
    }

    void Free(void*) override {}

private:
    VirtualDrive* At(int adapter, int target, int lun) {
        if (lun != 0) return nullptr;
        auto it = at_.find({adapter, target});
        return it == at_.end() ? nullptr : &bay_.Drive(it->second);
    }

    uint32_t Finish(platform::SrbHeader& header, uint8_t status) {
        platform::SetAspiStatus(header, status);
        return status;
    }

    uint32_t Send(platform::SrbHeader* srb) {
        if (srb == nullptr) return platform::SS_INVALID_CMD;
        switch (srb->SRB_Cmd) {
        case platform::SC_GET_DEV_TYPE: {
            auto* query = reinterpret_cast<platform::SrbGetDevType*>(srb);
            VirtualDrive* drive = At(srb->SRB_HaId, query->SRB_Target, query->SRB_Lun);
            if (drive == nullptr || !drive->Present()) return Finish(*srb, platform::SS_NO_DEVICE);
            query->SRB_DeviceType = drive->Config().deviceType;
            return Finish(*srb, platform::SS_COMP);
        }
        case platform::SC_EXEC_SCSI_CMD:
            return Execute(*reinterpret_cast<platform::SrbExecScsiCmd*>(srb));
        case platform::SC_ABORT_SRB: {
            auto* abort = reinterpret_cast<platform::SrbAbort*>(srb);
            std::lock_guard<std::mutex> lock(mutex_);
            if (pending_.erase(abort->SRB_ToAbort) > 0)
                platform::SetAspiStatus(abort->SRB_ToAbort->Hdr, platform::SS_ABORTED);
            return Finish(*srb, platform::SS_COMP);
        }
        default:
            return Finish(*srb, platform::SS_INVALID_CMD);
        }
    }

    uint32_t Execute(platform::SrbExecScsiCmd& srb) {
        platform::SetAspiStatus(srb.Hdr, platform::SS_PENDING);
        VirtualDrive* drive = At(srb.Hdr.SRB_HaId, srb.SRB_Target, srb.SRB_Lun);
        if (drive == nullptr) {
            srb.SRB_HaStat = kHostSelectionTimeout;
            return Finish(srb.Hdr, platform::SS_NO_DEVICE);
        }
        const uint8_t flags = srb.Hdr.SRB_Flags & (platform::SRB_DIR_IN | platform::SRB_DIR_OUT);
        const Direction direction = flags == platform::SRB_DIR_IN    ? Direction::In
                                    : flags == platform::SRB_DIR_OUT ? Direction::Out
                                                                     : Direction::None;
        void* data = direction == Direction::None ? nullptr : srb.SRB_BufPointer;
        const Answer answer = drive->Execute(srb.CDBByte, srb.SRB_CDBLen, direction, data, srb.SRB_BufLen);
        switch (answer.outcome) {
        case Outcome::Gone:
            srb.SRB_HaStat = kHostSelectionTimeout;
            return Finish(srb.Hdr, platform::SS_NO_DEVICE);
        case Outcome::Hung: {
            // Stays pending until an abort ends it.
            std::lock_guard<std::mutex> lock(mutex_);
            pending_.insert(&srb);
            return platform::SS_PENDING;
        }
        case Outcome::Done:
            break;
        }
        srb.SRB_HaStat = 0;
        srb.SRB_TargStat = answer.status;
        if (answer.status != 0) {
            const auto sense = answer.SenseBytes();
            const size_t n = std::min({size_t{srb.SRB_SenseLen}, sense.size(), sizeof srb.SenseArea});
            std::memcpy(srb.SenseArea, sense.data(), n);
        }
        const uint8_t status = answer.status == 0 ? platform::SS_COMP : platform::SS_ERR;
        platform::SetAspiStatus(srb.Hdr, status);
        if ((srb.Hdr.SRB_Flags & platform::SRB_EVENT_NOTIFY) && srb.SRB_PostProc != nullptr) {
            srb.SRB_PostProc->Signal();
            return platform::SS_PENDING;
        }
        return status;
    }

    VirtualBay& bay_;
    std::map<std::pair<int, int>, int> at_;
    int token_ = 0;
    std::mutex mutex_;
    std::set<platform::SrbExecScsiCmd*> pending_;
};

// ---------------------------------------------------------------- bay

VirtualBay::VirtualBay(const BayDescription& description, platform::Clock& clock) : clock_(clock) {
    const int count = static_cast<int>(description.drives.size());
    for (int i = 0; i < count; ++i)
        drives_.push_back(std::make_unique<VirtualDrive>(description.drives[i], DefaultSerial(i), clock));

    std::set<std::pair<int, int>> taken;
    for (const auto& d : description.drives)
        if (d.adapter >= 0 && d.target >= 0) taken.insert({d.adapter, d.target});
    int next = 0;
    for (const auto& d : description.drives) {
        std::pair<int, int> place{d.adapter, d.target};
        if (d.adapter < 0 || d.target < 0) {
            while (taken.count({next / kTargetsPerAdapter, next % kTargetsPerAdapter})) ++next;
            place = {next / kTargetsPerAdapter, next % kTargetsPerAdapter};
            taken.insert(place);
        }
        positions_.push_back(place);
        adapters_ = std::max(adapters_, place.first + 1);
    }
    host_ = std::make_unique<PassThroughHost>(*this);
    aspi_ = std::make_unique<AspiManager>(*this);
}

VirtualBay::~VirtualBay() = default;

platform::DeviceHost& VirtualBay::Devices() { return *host_; }
platform::AspiLoader& VirtualBay::Aspi() { return *aspi_; }

}  // namespace virtual_drives
