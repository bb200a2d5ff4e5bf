// Durable writes: flushing a file's data, or a directory's entries, to the disk.
#pragma once

#include <string>

namespace platform {

// Flushes the file or directory at path to stable storage. 1 on success, 0 otherwise.
int SyncFile(const std::string& path);

}  // namespace platform
