#include "platform/fakes/Fakes.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform::fakes {
namespace {

// Copies what fits; an empty source copies nothing.
void CopyAtMost(void* to, const std::vector<uint8_t>& from, size_t room) {
    if (to != nullptr && !from.empty()) std::memcpy(to, from.data(), std::min(from.size(), room));
}

}  // namespace

PassThroughReply PassThroughReply::Check(uint8_t byte2, uint8_t asc, uint8_t ascq) {
    PassThroughReply r;
    r.status = 2;
    r.sense.assign(18, 0);
    r.sense[0] = 0x70;
    r.sense[2] = byte2;
    r.sense[7] = 10;
    r.sense[12] = asc;
    r.sense[13] = ascq;
    return r;
}

// ---------------------------------------------------------------- FakeDeviceHost

std::vector<OpticalDrive> FakeDeviceHost::ListOpticalDrives() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++listCalls_;
    return drives_;
}

Handle FakeDeviceHost::Open(int id, int* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    opens_.push_back(id);
    if (auto it = openErrors_.find(id); it != openErrors_.end()) {
        if (error) *error = it->second;
        return kInvalidHandle;
    }
    Handle h = nextHandle_++;
    open_[h] = id;
    return h;
}

void FakeDeviceHost::Close(Handle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    closes_.push_back(handle);
    open_.erase(handle);
}

int FakeDeviceHost::SendPassThrough(Handle handle, PassThroughBlock& block, int* error) {
    PassThroughRecord rec{};
    PassThroughReply reply;
    std::function<PassThroughReply(const PassThroughRecord&)> responder;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto& s = block.Spt;
        rec.handle = handle;
        auto it = open_.find(handle);
        rec.id = it == open_.end() ? -1 : it->second;
        rec.lengthField = s.Length;
        std::memcpy(rec.cdb, s.Cdb, 16);
        rec.cdbLength = s.CdbLength;
        rec.senseInfoLength = s.SenseInfoLength;
        rec.senseInfoOffset = s.SenseInfoOffset;
        rec.dataIn = s.DataDirection;
        rec.buffer = s.DataBuffer;
        rec.length = s.DataTransferLength;
        rec.timeoutSeconds = s.TimeOutValue;
        rec.pathId = s.PathId;
        rec.targetId = s.TargetId;
        rec.lun = s.Lun;
        if (s.DataDirection == TransferOut && s.DataBuffer != nullptr)
            rec.dataOut.assign(static_cast<uint8_t*>(s.DataBuffer),
                               static_cast<uint8_t*>(s.DataBuffer) + s.DataTransferLength);
        commands_.push_back(rec);
        if (rec.id < 0) {
            if (error) *error = EBADF;
            return 0;
        }
        if (auto q = queued_.find(rec.id); q != queued_.end() && !q->second.empty()) {
            reply = q->second.front();
            q->second.pop_front();
        } else {
            responder = responder_;
        }
    }
    if (responder) reply = responder(rec);
    if (!reply.carriedOut) {
        if (error) *error = reply.error;
        return 0;
    }
    block.Spt.ScsiStatus = reply.status;
    CopyAtMost(block.SenseBuffer, reply.sense, kSenseBufferSize);
    if (block.Spt.DataDirection == TransferIn) CopyAtMost(block.Spt.DataBuffer, reply.data, block.Spt.DataTransferLength);
    if (reply.transferred >= 0) block.Spt.DataTransferLength = static_cast<uint32_t>(reply.transferred);
    return 1;
}

void FakeDeviceHost::SetDrives(std::vector<OpticalDrive> drives) {
    std::lock_guard<std::mutex> lock(mutex_);
    drives_ = std::move(drives);
}

void FakeDeviceHost::FailOpen(int id, int error) {
    std::lock_guard<std::mutex> lock(mutex_);
    openErrors_[id] = error;
}

void FakeDeviceHost::Queue(int id, PassThroughReply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    queued_[id].push_back(std::move(reply));
}

void FakeDeviceHost::SetResponder(std::function<PassThroughReply(const PassThroughRecord&)> responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

std::vector<PassThroughRecord> FakeDeviceHost::Commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

std::vector<int> FakeDeviceHost::Opens() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return opens_;
}

std::vector<Handle> FakeDeviceHost::Closes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closes_;
}

int FakeDeviceHost::ListCalls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return listCalls_;
}

// ---------------------------------------------------------------- FakeAspi

void* FakeAspi::Load(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    loaded_.push_back(name);
    return loadable ? static_cast<void*>(&token_) : nullptr;
}

GetSupportInfoFn FakeAspi::GetSupportInfo(void*) {
    if (!hasGetSupportInfo) return {};
    return [this] { return supportInfo; };
}

SendCommandFn FakeAspi::SendCommand(void*) {
    if (!hasSendCommand) return {};
    return [this](SrbHeader* srb) { return Send(srb); };
}

void FakeAspi::Free(void*) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++frees_;
}

void FakeAspi::AddDevice(int adapter, int target, uint8_t deviceType, uint8_t status) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_[{adapter, target}] = {status, deviceType};
}

void FakeAspi::SetResponder(std::function<ExecReply(const ExecRecord&)> responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

void FakeAspi::Queue(ExecReply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    queued_.push_back(std::move(reply));
}

uint32_t FakeAspi::Send(SrbHeader* srb) {
    switch (srb->SRB_Cmd) {
    case SC_GET_DEV_TYPE: {
        auto* dev = reinterpret_cast<SrbGetDevType*>(srb);
        std::lock_guard<std::mutex> lock(mutex_);
        devTypeQueries_.push_back({dev->Hdr.SRB_HaId, dev->SRB_Target});
        auto it = devices_.find({dev->Hdr.SRB_HaId, dev->SRB_Target});
        if (it == devices_.end()) {
            SetAspiStatus(dev->Hdr, SS_NO_DEVICE);
            return SS_NO_DEVICE;
        }
        dev->SRB_DeviceType = it->second.second;
        SetAspiStatus(dev->Hdr, it->second.first);
        return it->second.first;
    }
    case SC_EXEC_SCSI_CMD: {
        auto* exec = reinterpret_cast<SrbExecScsiCmd*>(srb);
        ExecRecord rec{};
        rec.block = exec;
        rec.cmd = exec->Hdr.SRB_Cmd;
        rec.haId = exec->Hdr.SRB_HaId;
        rec.flags = exec->Hdr.SRB_Flags;
        rec.target = exec->SRB_Target;
        rec.lun = exec->SRB_Lun;
        rec.bufLen = exec->SRB_BufLen;
        rec.bufPointer = exec->SRB_BufPointer;
        rec.senseLen = exec->SRB_SenseLen;
        rec.cdbLen = exec->SRB_CDBLen;
        rec.postProc = exec->SRB_PostProc;
        std::memcpy(rec.cdb, exec->CDBByte, 16);
        ExecReply reply;
        std::function<ExecReply(const ExecRecord&)> responder;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            execs_.push_back(rec);
            if (!queued_.empty()) {
                reply = queued_.front();
                queued_.pop_front();
            } else {
                responder = responder_;
            }
        }
        if (responder) reply = responder(rec);
        if (reply.mode == ExecReply::NeverComplete) {
            SetAspiStatus(exec->Hdr, SS_PENDING);
            std::lock_guard<std::mutex> lock(mutex_);
            pending_[exec] = reply;
            return SS_PENDING;
        }
        if (!reply.writesStatus) return reply.status;
        CopyAtMost(exec->SenseArea, reply.sense, kAspiSenseLength);
        exec->SRB_TargStat =
            static_cast<uint8_t>(reply.targetStatus >= 0 ? reply.targetStatus : reply.sense.empty() ? 0 : 2);
        if (exec->Hdr.SRB_Flags & SRB_DIR_IN) CopyAtMost(exec->SRB_BufPointer, reply.data, exec->SRB_BufLen);
        SetAspiStatus(exec->Hdr, reply.status);
        if (reply.mode == ExecReply::Immediate) return reply.status;
        if (exec->SRB_PostProc) exec->SRB_PostProc->Signal();
        return SS_PENDING;
    }
    case SC_ABORT_SRB: {
        auto* abort = reinterpret_cast<SrbAbort*>(srb);
        std::lock_guard<std::mutex> lock(mutex_);
        aborts_.push_back({abort->Hdr.SRB_Cmd, abort->Hdr.SRB_HaId, abort->Hdr.SRB_Flags, abort->Hdr.SRB_Hdr_Rsvd,
                           abort->SRB_ToAbort});
        auto it = pending_.find(abort->SRB_ToAbort);
        ExecReply reply = it == pending_.end() ? ExecReply{} : it->second;
        SetAspiStatus(abort->Hdr, reply.abortStatus);
        if (it != pending_.end() && reply.abortStatus == SS_COMP && reply.abortEndsCommand) {
            SetAspiStatus(abort->SRB_ToAbort->Hdr, reply.completeDuringAbort ? SS_COMP : SS_ABORTED);
            pending_.erase(it);
        }
        return reply.abortStatus;
    }
    default:
        SetAspiStatus(*srb, SS_INVALID_CMD);
        return SS_INVALID_CMD;
    }
}

std::vector<std::string> FakeAspi::loadedNames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return loaded_;
}

int FakeAspi::frees() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frees_;
}

std::vector<std::pair<int, int>> FakeAspi::DevTypeQueries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return devTypeQueries_;
}

std::vector<ExecRecord> FakeAspi::Execs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return execs_;
}

std::vector<AbortRecord> FakeAspi::Aborts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return aborts_;
}

// ---------------------------------------------------------------- FakeDialogs

void FakeDialogs::Message(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(text);
    }
    if (onMessage) onMessage(text);
}

bool FakeDialogs::OkCancel(const std::string& text, const std::string& title) {
    std::lock_guard<std::mutex> lock(mutex_);
    questions_.emplace_back(text, title);
    if (answers_.empty()) return true;
    bool ok = answers_.front();
    answers_.pop_front();
    return ok;
}

std::vector<std::string> FakeDialogs::Messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::vector<std::pair<std::string, std::string>> FakeDialogs::Questions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return questions_;
}

void FakeDialogs::QueueAnswer(bool ok) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_back(ok);
}

void FakeDialogs::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.clear();
    questions_.clear();
}

}  // namespace platform::fakes
