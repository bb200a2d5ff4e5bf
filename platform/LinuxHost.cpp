#include "platform/LinuxHost.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace platform {
namespace fs = std::filesystem;

namespace {

// "sr12" -> 12; anything else -> -1.
int SrNumber(const std::string& name) {
    if (name.size() < 3 || name.compare(0, 2, "sr") != 0 || name.size() > 9) return -1;
    int n = 0;
    for (size_t i = 2; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return -1;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

}  // namespace

LinuxDeviceHost::LinuxDeviceHost(std::string sysBlockRoot, std::string devRoot)
    : sysBlockRoot_(std::move(sysBlockRoot)), devRoot_(std::move(devRoot)) {}

std::vector<OpticalDrive> LinuxDeviceHost::ListOpticalDrives() {
    std::vector<int> numbers;
    std::error_code ec;
    for (fs::directory_iterator it(sysBlockRoot_, ec), end; !ec && it != end; it.increment(ec)) {
        const int n = SrNumber(it->path().filename().string());
        if (n >= 0) numbers.push_back(n);
    }
    // Numeric order: sr2 before sr10.
    std::sort(numbers.begin(), numbers.end());
    std::vector<OpticalDrive> drives;
    for (int n : numbers) drives.push_back({n, devRoot_ + "/sr" + std::to_string(n)});
    return drives;
}

std::string LinuxDeviceHost::CommandNode(int id) const {
    const fs::path generic = fs::path(sysBlockRoot_) / ("sr" + std::to_string(id)) / "device" / "scsi_generic";
    std::error_code ec;
    for (fs::directory_iterator it(generic, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.compare(0, 2, "sg") == 0) return devRoot_ + "/" + name;
    }
    return devRoot_ + "/sr" + std::to_string(id);
}

Handle LinuxDeviceHost::Open(int id, int* error) {
    const std::string node = CommandNode(id);
    int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = errno;
        return kInvalidHandle;
    }
    if (fd == 0) {
        // 0 means "released" to the device table; keep real handles away from it.
        const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        ::close(fd);
        if (moved < 0) {
            if (error) *error = errno;
            return kInvalidHandle;
        }
        fd = moved;
    }
    return fd;
}

void LinuxDeviceHost::Close(Handle handle) {
    if (handle > 0 && handle <= INT_MAX) ::close(static_cast<int>(handle));
}

int LinuxDeviceHost::SendPassThrough(Handle handle, PassThroughBlock& block, int* error) {
    if (handle <= 0 || handle > INT_MAX) {
        if (error) *error = EBADF;
        return 0;
    }
    PassThroughDirect& spt = block.Spt;
    sg_io_hdr_t io{};
    io.interface_id = 'S';
    io.dxfer_direction = spt.DataIn == DataIn    ? SG_DXFER_FROM_DEV
                         : spt.DataIn == DataOut ? SG_DXFER_TO_DEV
                                                 : SG_DXFER_NONE;
    if (spt.DataTransferLength == 0 || spt.DataBuffer == nullptr) io.dxfer_direction = SG_DXFER_NONE;
    io.cmd_len = std::clamp<uint8_t>(spt.CdbLength, 6, 16);
    io.mx_sb_len = std::min<uint8_t>(spt.SenseInfoLength, kSenseBufferSize);
    io.dxfer_len = io.dxfer_direction == SG_DXFER_NONE ? 0 : spt.DataTransferLength;
    io.dxferp = io.dxfer_direction == SG_DXFER_NONE ? nullptr : spt.DataBuffer;
    io.cmdp = spt.Cdb;
    io.sbp = block.SenseBuffer;
    io.timeout = spt.TimeOutValue > UINT_MAX / 1000 ? UINT_MAX : spt.TimeOutValue * 1000;

    if (::ioctl(static_cast<int>(handle), SG_IO, &io) < 0) {
        if (error) *error = errno;
        return 0;
    }
    // Only the bytes the kernel wrote count as sense; the block was cleared before.
    if (io.sb_len_wr < kSenseBufferSize)
        std::memset(block.SenseBuffer + io.sb_len_wr, 0, kSenseBufferSize - io.sb_len_wr);
    spt.ScsiStatus = io.status;
    const bool transportClean = io.host_status == 0 && (io.driver_status & ~0x08) == 0;  // 0x08: sense valid
    if (io.status == 0 && (!transportClean || (io.info & SG_INFO_OK_MASK) != SG_INFO_OK)) {
        // The device said GOOD but the way to it failed: never success.
        if (error) *error = io.host_status == 0x03 ? ETIMEDOUT : EIO;  // 0x03: DID_TIME_OUT
        return 0;
    }
    return 1;
}

namespace {

// Whether this process holds CAP_SYS_RAWIO, which the block node wants for vendor opcodes.
bool HasRawIo() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return false;
    char line[256];
    unsigned long long effective = 0;
    bool found = false;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "CapEff:", 7) == 0) {
            found = std::sscanf(line + 7, "%llx", &effective) == 1;
            break;
        }
    }
    std::fclose(status);
    return found && (effective & (1ULL << 17)) != 0;
}

}  // namespace

int LinuxDeviceHost::AccessProblem(int id) {
    const std::string node = CommandNode(id);
    if (::access(node.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM)) return EACCES;
    // Without its generic node a drive takes vendor commands only from a privileged process.
    if (node.compare(devRoot_.size() + 1, 2, "sr") == 0 && !HasRawIo()) return EPERM;
    return 0;
}

// ---------------------------------------------------------------- ASPI-style manager

void* LinuxAspiLoader::Load(const std::string& name) { return ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL); }

GetSupportInfoFn LinuxAspiLoader::GetSupportInfo(void* library) {
    using Fn = uint32_t (*)();
    auto fn = reinterpret_cast<Fn>(::dlsym(library, "GetASPI32SupportInfo"));
    if (fn == nullptr) return {};
    return [fn] { return fn(); };
}

SendCommandFn LinuxAspiLoader::SendCommand(void* library) {
    using Fn = uint32_t (*)(void*);
    auto fn = reinterpret_cast<Fn>(::dlsym(library, "SendASPI32Command"));
    if (fn == nullptr) return {};
    return [fn](SrbHeader* srb) { return fn(srb); };
}

void LinuxAspiLoader::Free(void* library) {
    if (library) ::dlclose(library);
}

// ---------------------------------------------------------------- process

std::string LinuxProcess::WorkingDirectory() {
    std::string buffer(PATH_MAX, '\0');
    if (::getcwd(buffer.data(), buffer.size()) == nullptr) return std::string();
    buffer.resize(std::strlen(buffer.c_str()));
    return buffer;
}

void LinuxProcess::Exit(int code) {
    // Workers may be mid-command: end the process without running destructors under them.
    std::fflush(nullptr);
    ::_exit(code);
}

}  // namespace platform
