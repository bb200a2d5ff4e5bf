// What Romwright asks of the user's session while it works: keep the machine awake, restart it
// afterwards, and leave a record in the system log.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// Held while drives are written: no sleep, shutdown, idle action or lid switch. Released when
// destroyed.
class Inhibitor {
public:
    virtual ~Inhibitor() = default;
};

class SessionServices {
public:
    virtual ~SessionServices() = default;
    // A held lock, or null with *error saying in plain words why none could be taken (no
    // logind, refused, ...). error may be null.
    virtual std::unique_ptr<Inhibitor> Inhibit(const std::string& what, const std::string& who,
                                               const std::string& why, const std::string& mode,
                                               std::string* error) = 0;
    // Asks the login manager to restart the machine (not interactive: a missing right is a
    // refusal, never a password prompt). 1 accepted, 0 refused or nobody to ask (*error says
    // which). Release any Inhibitor first: a held shutdown lock may stand in the way.
    virtual int RequestRestart(std::string* error) = 0;
    // One structured journal entry: MESSAGE plus fields such as ROMWRIGHT_NODE=...; false when
    // it could not be sent (bad field name, no MESSAGE, no journal).
    virtual bool Journal(const std::vector<std::pair<std::string, std::string>>& fields) = 0;
};

}  // namespace platform
