// Session services through systemd-logind (D-Bus) and the systemd journal.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Session.h"

namespace platform {

// Every bus request opens its own connection and closes it before returning, and the object
// holds nothing that changes: one LogindSession may serve any number of threads at once.
class LogindSession : public SessionServices {
public:
    // Talks to the system bus.
    LogindSession();
    // Talks to the bus at this D-Bus address instead, e.g. "unix:path=/tmp/x/bus".
    explicit LogindSession(std::string busAddress);

    std::unique_ptr<Inhibitor> Inhibit(const std::string& what, const std::string& who,
                                       const std::string& why, const std::string& mode,
                                       std::string* error) override;
    int RequestRestart(std::string* error) override;
    bool Journal(const std::vector<std::pair<std::string, std::string>>& fields) override;

private:
    std::optional<std::string> busAddress_;  // empty: the system bus
};

// Whether a client may send a journal field of this name: upper-case letters, digits and
// underscores, at most 64, not led by a digit or by the underscore the journal keeps for its
// own fields.
bool IsJournalFieldName(std::string_view name);

}  // namespace platform
