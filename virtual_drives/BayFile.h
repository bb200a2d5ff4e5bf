// Bay files: a text description of a bay, one drive a line (format in virtual_drives/README.md).
#pragma once

#include <memory>
#include <string>

#include "platform/Platform.h"
#include "virtual_drives/DriveConfig.h"
#include "virtual_drives/VirtualBay.h"

namespace virtual_drives {

// On failure `out` is left as it was and `error` reads "line N: what is wrong".
bool ParseBay(const std::string& text, BayDescription& out, std::string& error);
// As ParseBay, the message starting with the file's path.
bool LoadBayFile(const std::string& path, BayDescription& out, std::string& error);

// `count` drives of the model the program updates, ready, answering at once (tests).
BayDescription GoodDrives(int count);
// The same, taking the time a drive takes (demos).
BayDescription DemoDrives(int count);

// What --virtual-drives takes: a number of drives (as DemoDrives) or the path of a bay file.
bool DescribeBay(const std::string& argument, BayDescription& out, std::string& error);
// DescribeBay and build it; null with `error` set when the argument describes no bay.
std::unique_ptr<VirtualBay> OpenBay(const std::string& argument, platform::Clock& clock, std::string& error);

}  // namespace virtual_drives
