#include "platform/LinuxHost.h"

#include "platform/SgIoResult.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

LinuxDeviceHost::LinuxDeviceHost(std::string sysBlockRoot, std::string devRoot, std::string procLocks)
    : sysBlockRoot_(std::move(sysBlockRoot)), devRoot_(std::move(devRoot)), procLocks_(std::move(procLocks)) {}

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
        // Without udev (containers, minimal systems) sysfs may name a node that /dev lacks.
        if (name.compare(0, 2, "sg") == 0 && fs::exists(devRoot_ + "/" + name, ec)) return devRoot_ + "/" + name;
    }
    return devRoot_ + "/sr" + std::to_string(id);
}

Handle LinuxDeviceHost::Open(int id, int* error) {
    const std::string node = CommandNode(id);
    // Exclusive: a generic node then refuses every other open, a block node every other exclusive
    // one, so two programs never interleave two transfers on one drive.
    int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_EXCL);
    if (fd < 0) {
        if (error) *error = errno;
        return kInvalidHandle;
    }
    // The lock says who holds the drive to whoever finds it busy (/proc/locks).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int failure = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        if (error) *error = failure;
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
    io.dxfer_direction = spt.DataDirection == TransferIn    ? SG_DXFER_FROM_DEV
                         : spt.DataDirection == TransferOut ? SG_DXFER_TO_DEV
                                                            : SG_DXFER_NONE;
    if (spt.DataTransferLength == 0 || spt.DataBuffer == nullptr) io.dxfer_direction = SG_DXFER_NONE;
    io.cmd_len = std::clamp<uint8_t>(spt.CdbLength, 6, 16);
    io.mx_sb_len = std::min<uint8_t>(spt.SenseInfoLength, kSenseBufferSize);
    io.dxfer_len = io.dxfer_direction == SG_DXFER_NONE ? 0 : spt.DataTransferLength;
    io.dxferp = io.dxfer_direction == SG_DXFER_NONE ? nullptr : spt.DataBuffer;
    io.cmdp = spt.Cdb;
    io.sbp = block.SenseBuffer;
    io.timeout = SgTimeoutMs(spt.TimeOutValue);

    SgIoFacts facts;
    facts.ioctlResult = ::ioctl(static_cast<int>(handle), SG_IO, &io);
    facts.ioctlErrno = facts.ioctlResult < 0 ? errno : 0;
    facts.info = io.info;
    facts.status = io.status;
    facts.hostStatus = io.host_status;
    facts.driverStatus = io.driver_status;
    facts.resid = io.resid;
    facts.requested = io.dxfer_len;
    const SgIoResult result = DecideSgIo(facts);
    // Only the bytes the kernel wrote count as sense; the block was cleared before.
    const unsigned senseWritten = facts.ioctlResult < 0 ? 0 : std::min<unsigned>(io.sb_len_wr, kSenseBufferSize);
    std::memset(block.SenseBuffer + senseWritten, 0, kSenseBufferSize - senseWritten);
    if (!result.carriedOut) {
        if (error) *error = result.error;
        return 0;
    }
    spt.ScsiStatus = result.scsiStatus;
    // As the platform's own pass-through does: on return, the bytes that really moved.
    spt.DataTransferLength = result.transferred;
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

AccessProblem LinuxDeviceHost::Access(int id) {
    const std::string node = CommandNode(id);
    // The effective user is who opens the node, whoever started the program.
    if (::faccessat(AT_FDCWD, node.c_str(), R_OK | W_OK, AT_EACCESS) != 0 && (errno == EACCES || errno == EPERM))
        return {EACCES, node, 0};
    // Without its generic node a drive takes vendor commands only from a privileged process.
    if (node.compare(devRoot_.size() + 1, 2, "sr") == 0 && !HasRawIo()) return {EPERM, node, 0};
    if (const int holder = LockHolder(node)) return {EBUSY, node, holder};
    return {};
}

int LinuxDeviceHost::LockHolder(const std::string& node) const {
    struct stat st {};
    if (::stat(node.c_str(), &st) != 0) return 0;
    std::FILE* locks = std::fopen(procLocks_.c_str(), "r");
    if (locks == nullptr) return 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 00:05:567 0 EOF": the holder, then the file as
    // major:minor:inode of the file system it lives on.
    char line[512];
    int holder = 0;
    while (holder == 0 && std::fgets(line, sizeof line, locks) != nullptr) {
        char kind[16], mode[16], access[16];
        int pid = 0;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(line, "%*[^:]: %15s %15s %15s %d %x:%x:%llu", kind, mode, access, &pid, &major, &minor,
                        &inode) != 7)
            continue;
        if (major == ::major(st.st_dev) && minor == ::minor(st.st_dev) && inode == st.st_ino && pid > 0 &&
            pid != ::getpid())
            holder = pid;
    }
    std::fclose(locks);
    return holder;
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
