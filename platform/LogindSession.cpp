#include "platform/LogindSession.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <system_error>

namespace platform {

namespace {

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
// libsystemd reports success when nobody listens here; the caller wants to know.
constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusCloser>;

struct ErrorFreer {
    sd_bus_error* error;
    ~ErrorFreer() { sd_bus_error_free(error); }
};

struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

void SetError(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

std::string ErrnoText(int negativeErrno) { return std::generic_category().message(-negativeErrno); }

BusPtr Connect(const std::optional<std::string>& address, std::string* error) {
    sd_bus* raw = nullptr;
    int r;
    if (!address) {
        r = sd_bus_open_system(&raw);
        if (r < 0) {
            SetError(error, "cannot reach the system bus: " + ErrnoText(r));
            return nullptr;
        }
        return BusPtr(raw);
    }
    if (address->empty() || address->find('\0') != std::string::npos) {
        SetError(error, "no usable bus address was given");
        return nullptr;
    }
    r = sd_bus_new(&raw);
    if (r < 0) {
        SetError(error, "cannot set up a bus connection: " + ErrnoText(r));
        return nullptr;
    }
    BusPtr bus(raw);
    if ((r = sd_bus_set_address(raw, address->c_str())) < 0 || (r = sd_bus_set_bus_client(raw, 1)) < 0 ||
        (r = sd_bus_start(raw)) < 0) {
        SetError(error, "cannot reach the bus at " + *address + ": " + ErrnoText(r));
        return nullptr;
    }
    return bus;
}

std::string Describe(const sd_bus_error& e, int r, const std::string& action) {
    const std::string message = e.message ? e.message : ErrnoText(r);
    const std::string name = e.name ? e.name : "";
    if (sd_bus_error_has_names(&e, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER))
        return "no login manager (systemd-logind) is running";
    if (sd_bus_error_has_names(&e, SD_BUS_ERROR_ACCESS_DENIED, SD_BUS_ERROR_INTERACTIVE_AUTHORIZATION_REQUIRED,
                               SD_BUS_ERROR_AUTH_FAILED))
        return "the login manager refused to " + action + ": " + message + " (" + name + ")";
    if (sd_bus_error_has_names(&e, SD_BUS_ERROR_NO_REPLY, SD_BUS_ERROR_TIMEOUT))
        return "the login manager did not answer when asked to " + action;
    if (name.empty()) return "could not ask the login manager to " + action + ": " + message;
    return "the login manager could not " + action + ": " + message + " (" + name + ")";
}

class FdInhibitor : public Inhibitor {
public:
    explicit FdInhibitor(int fd) : fd_(fd) {}
    ~FdInhibitor() override { close(fd_); }
    FdInhibitor(const FdInhibitor&) = delete;
    FdInhibitor& operator=(const FdInhibitor&) = delete;

private:
    int fd_;
};

bool HasNul(const std::string& s) { return s.find('\0') != std::string::npos; }

}  // namespace

LogindSession::LogindSession() = default;

LogindSession::LogindSession(std::string busAddress) : busAddress_(std::move(busAddress)) {}

std::unique_ptr<Inhibitor> LogindSession::Inhibit(const std::string& what, const std::string& who,
                                                  const std::string& why, const std::string& mode,
                                                  std::string* error) {
    const std::string action = "take the inhibitor lock";
    // A D-Bus string ends at its first NUL: better refuse than send a shortened one.
    if (HasNul(what) || HasNul(who) || HasNul(why) || HasNul(mode)) {
        SetError(error, "could not ask the login manager to " + action + ": a text contains a NUL byte");
        return nullptr;
    }
    BusPtr bus = Connect(busAddress_, error);
    if (!bus) return nullptr;

    sd_bus_error e = SD_BUS_ERROR_NULL;
    ErrorFreer freeError{&e};
    sd_bus_message* rawReply = nullptr;
    int r = sd_bus_call_method(bus.get(), kLogind, kLogindPath, kManager, "Inhibit", &e, &rawReply, "ssss",
                               what.c_str(), who.c_str(), why.c_str(), mode.c_str());
    MessagePtr reply(rawReply);
    if (r < 0) {
        SetError(error, Describe(e, r, action));
        return nullptr;
    }
    int fd = -1;
    r = sd_bus_message_read(reply.get(), "h", &fd);
    if (r <= 0 || fd < 0) {
        SetError(error, "the login manager's answer held no lock");
        return nullptr;
    }
    // The received descriptor belongs to the reply and dies with it; the lock lives in our copy.
    const int held = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (held < 0) {
        SetError(error, "cannot keep the inhibitor lock: " + ErrnoText(-errno));
        return nullptr;
    }
    if (error) error->clear();
    return std::make_unique<FdInhibitor>(held);
}

int LogindSession::RequestRestart(std::string* error) {
    BusPtr bus = Connect(busAddress_, error);
    if (!bus) return 0;
    sd_bus_error e = SD_BUS_ERROR_NULL;
    ErrorFreer freeError{&e};
    // interactive=false: logind answers a missing right with an error instead of asking.
    const int r = sd_bus_call_method(bus.get(), kLogind, kLogindPath, kManager, "Reboot", &e, nullptr, "b", 0);
    if (r < 0) {
        SetError(error, Describe(e, r, "restart the machine"));
        return 0;
    }
    if (error) error->clear();
    return 1;
}

bool IsJournalFieldName(std::string_view name) {
    if (name.empty() || name.size() > 64) return false;
    if (name[0] == '_' || (name[0] >= '0' && name[0] <= '9')) return false;
    for (const char c : name) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) return false;
    }
    return true;
}

bool LogindSession::Journal(const std::vector<std::pair<std::string, std::string>>& fields) {
    bool hasMessage = false;
    for (const auto& [name, value] : fields) {
        if (!IsJournalFieldName(name)) return false;
        hasMessage = hasMessage || name == "MESSAGE";
    }
    if (!hasMessage || fields.size() > INT_MAX) return false;

    std::vector<std::string> lines;
    lines.reserve(fields.size());
    for (const auto& [name, value] : fields) {
        std::string line;
        line.reserve(name.size() + 1 + value.size());
        line.append(name).append(1, '=').append(value);
        lines.push_back(std::move(line));
    }
    // Filled only once lines stops growing, so no pointer goes stale.
    std::vector<iovec> iov(lines.size());
    for (size_t i = 0; i < lines.size(); ++i) iov[i] = {lines[i].data(), lines[i].size()};
    const bool sent = sd_journal_sendv(iov.data(), static_cast<int>(iov.size())) >= 0;
    return sent && access(kJournalSocket, W_OK) == 0;
}

}  // namespace platform
