// A private D-Bus daemon for one test, and a stand-in login manager on it.
#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testbus {

// dbus-daemon in a temporary directory, stopped and reaped on destruction.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Empty when the daemon did not start; Problem() says why.
    const std::string& Address() const { return address_; }
    const std::string& Problem() const { return problem_; }

private:
    std::string dir_;
    std::string address_;
    std::string problem_;
    pid_t pid_ = -1;
};

struct InhibitCall {
    std::string what, who, why, mode;
    int lockReadEnd;  // reads EOF once every copy of the lock handed out is closed
};

struct Refusal {
    std::string name;
    std::string message;
};

// Owns org.freedesktop.login1 and serves Manager.Inhibit and Manager.Reboot from its own thread
// on its own connection.
class FakeLogind {
public:
    explicit FakeLogind(const std::string& address);
    ~FakeLogind();
    FakeLogind(const FakeLogind&) = delete;
    FakeLogind& operator=(const FakeLogind&) = delete;

    // Empty when serving; otherwise why not.
    const std::string& Problem() const { return problem_; }

    void RefuseInhibit(std::optional<Refusal> refusal);
    void RefuseReboot(std::optional<Refusal> refusal);
    std::vector<InhibitCall> Inhibits() const;
    std::vector<bool> Reboots() const;  // the interactive flag of each call

private:
    static int OnInhibit(sd_bus_message* m, void* self, sd_bus_error* error);
    static int OnReboot(sd_bus_message* m, void* self, sd_bus_error* error);
    void Serve();

    sd_bus* bus_ = nullptr;
    sd_bus_slot* slot_ = nullptr;
    int stopFd_ = -1;
    std::thread thread_;
    std::string problem_;

    mutable std::mutex mutex_;
    std::optional<Refusal> inhibitRefusal_;
    std::optional<Refusal> rebootRefusal_;
    std::vector<InhibitCall> inhibits_;
    std::vector<bool> reboots_;
};

}  // namespace testbus
