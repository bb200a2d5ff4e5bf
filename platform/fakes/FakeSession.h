// A session service that records what a run asks of it: the inhibitor's life and journal entries.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/Session.h"

namespace platform::fakes {

class FakeSession : public SessionServices {
public:
    using Fields = std::vector<std::pair<std::string, std::string>>;

    std::unique_ptr<Inhibitor> Inhibit(const std::string& what, const std::string& who, const std::string& why,
                                       const std::string& mode, std::string* error) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            calls_.push_back(what + "|" + who + "|" + why + "|" + mode);
        }
        if (refuse) {
            if (error) *error = "no login manager";
            return nullptr;
        }
        return std::make_unique<Lock>(held);
    }
    int RequestRestart(std::string*) override { return 0; }
    bool Journal(const Fields& fields) override {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back(fields);
        return true;
    }

    std::vector<std::string> Calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    std::vector<Fields> Entries() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }

    std::atomic<bool> refuse{false};
    std::atomic<int> held{0};  // inhibitors alive now

private:
    struct Lock : Inhibitor {
        explicit Lock(std::atomic<int>& count) : count_(count) { ++count_; }
        ~Lock() override { --count_; }
        std::atomic<int>& count_;
    };
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::vector<Fields> entries_;
};

}  // namespace platform::fakes
