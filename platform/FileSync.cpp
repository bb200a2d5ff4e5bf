#include "platform/FileSync.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

int SyncFile(const std::string& path)
{
    // Read-only is enough: fsync flushes the inode whatever the open mode, and it lets the same
    // call sync a directory after a rename.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    int rc;
    do {
        rc = ::fsync(fd);
    } while (rc != 0 && errno == EINTR);
    ::close(fd);
    return rc == 0 ? 1 : 0;
}

}  // namespace platform
