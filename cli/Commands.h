// The commands of romwright-cli over an installed device table. Each returns the exit code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/Session.h"

namespace cli {

enum ExitCode : int {
    kExitDone = 0,         // every drive asked for was updated (and verified where that applies)
    kExitNotDone = 1,      // one or more were not
    kExitNothingToDo = 2,  // no drive of the model, or none of those named exist
    kExitUsage = 3,        // usage or input error
    kExitUnusable = 4,     // every failure was a drive that could not be used; nothing written to it
    kExitInterrupted = 130,
};

struct Common {
    bool json = false;
    std::string settingsPath = "FLASH.INI";
    bool virtualDrives = false;
    double speed = 1.0;
    platform::Platform* platform = nullptr;
};

struct FlashOptions {
    std::vector<std::string> nodes;
    std::string verify;  // the --verify text; empty: not given
    bool noVerify = false;
    int parallel = 0;
    std::string historyPath;  // empty: no record
};

int ListCommand(const Common& common);
int FlashCommand(const Common& common, const FlashOptions& options);
int ChecksumCommand(const Common& common, const std::string& node, bool store);
int CheckCvtCommand(const Common& common, const std::string& file);
int ImageCommand(const Common& common);

// "1234" or "0x04D2" to 1..65535; false for anything else.
bool ParseChecksum(const std::string& text, uint16_t* value);

}  // namespace cli
