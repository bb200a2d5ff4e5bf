// Runs inside the QEMU guest of run_guest_test.sh, as a user without privileges, on the real Linux
// host and three emulated SCSI CD drives:
//   sr0  ORVEX / DVD RW LMX2097 / 1.00, no medium
//   sr1  QEMU's own drive, no medium
//   sr2  ORVEX / DVD RW LMX2097 / 1.00, serial QM2402002, with a medium
// "block-nodes": the sg module is not loaded, /dev/sr0 and /dev/sr1 are group-accessible, /dev/sr2
// is root's alone. "generic-nodes": sg is loaded and every node is group-accessible.
// Prints one "GUEST RESULT: N passed, M failed" line; exits 0 only when nothing failed.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <type_traits>
#include <vector>

#include "AspiThread/AspiExec.h"
#include "drive_access/DeviceTable.h"
#include "drive_access/DriveLink.h"
#include "firmware/FlashRomChecksum.h"
#include "main/Console.h"
#include "main/ConsoleView.h"
#include "platform/LinuxHost.h"
#include "platform/RealClock.h"

using namespace drive_access;

namespace {

int passed = 0;
int failed = 0;

void Check(bool ok, const std::string& what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAIL", what.c_str());
    (ok ? passed : failed)++;
}

template <typename A, typename B>
void CheckEq(const A& actual, const B& expected, const std::string& what) {
    if (actual == expected) return Check(true, what);
    Check(false, what);
    if constexpr (std::is_same_v<A, std::string>)
        std::printf("  got \"%s\", want \"%s\"\n", actual.c_str(), expected.c_str());
    else
        std::printf("  got 0x%llx, want 0x%llx\n", static_cast<unsigned long long>(actual),
                    static_cast<unsigned long long>(expected));
}

std::string Hex(const uint8_t* bytes, int n) {
    std::string text;
    char b[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x ", bytes[i]);
        text += b;
    }
    if (!text.empty()) text.pop_back();
    return text;
}

std::string Text(const uint8_t* bytes, int n) { return std::string(reinterpret_cast<const char*>(bytes), n); }

// Sense as the window reads it, printed so that the log shows what the kernel handed back.
std::vector<uint8_t> Sense(int device, const char* after) {
    std::vector<uint8_t> sense(16);
    CopySense(sense.data(), static_cast<uint8_t>(device));
    std::printf("  sr%d sense after %s: %s\n", device, after, Hex(sense.data(), 16).c_str());
    return sense;
}

struct RecordingDialogs : platform::Dialogs {
    std::vector<std::string> messages;
    void Message(const std::string& text) override { messages.push_back(text); }
    bool OkCancel(const std::string&, const std::string&) override { return false; }
};

struct NullView : console::ConsoleView {
    std::string captions[console::kSlotCount];
    void SetSlotCaption(int slot, const std::string& caption) override { captions[slot] = caption; }
    std::string SlotCaption(int slot) const override { return captions[slot]; }
    void SetSlotVisible(int, bool) override {}
    void SetSlotChecked(int, bool) override {}
    bool SlotChecked(int) const override { return true; }
    void SetSlotEnabled(int, bool) override {}
    void SetSlotColour(int, int32_t) override {}
    std::string serials[console::kSlotCount];
    void SetSlotDetails(int slot, const std::string&, const std::string& serial) override { serials[slot] = serial; }
    void SetSlotState(int, const std::string&) override {}
    void SetNoDrivesText(const std::string&) override {}
    void SetButtonEnabled(console::Button, bool) override {}
    bool ButtonEnabled(console::Button) const override { return true; }
    void SetProgress(int) override {}
    void SetPanelText(int, const std::string&) override {}
    void SetTimerEnabled(bool) override {}
    void SetEdit1Text(const std::string&) override {}
    void SetEditCSText(const std::string&) override {}
    std::string Caption() const override { return std::string(); }
    void ProcessPendingEvents() override {}
    bool ChooseFirmwareFile(std::string*) override { return false; }
};

bool HoldsRawIo() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("CapEff:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> 17) & 1;
    return true;  // unknown: treat as privileged, so the precondition fails loudly
}

const std::string kRightCaption = "ORVEX   DVD RW LMX2097  1.00";
const std::string kQemuCaption = "QEMU    QEMU CD-ROM";

// The start-up as the window runs it: the captions and the permission message, if any.
struct StartUp {
    NullView view;
    std::vector<std::string> messages;
};

StartUp RunStartUp(platform::Platform& base) {
    StartUp result;
    RecordingDialogs dialogs;
    platform::Platform p = base;
    p.dialogs = &dialogs;
    console::Console console(result.view, p);
    console.ListDrives();
    CheckEq(console.ListedCount, 3, "the window lists three drives");
    console.ExplainUnusableDrives();
    result.messages = dialogs.messages;
    return result;
}

void BlockNodes(DeviceTable& table, platform::LinuxDeviceHost& host, platform::Platform& p) {
    for (int i = 0; i < 3; ++i) {
        const std::string sr = "/dev/sr" + std::to_string(i);
        CheckEq(host.CommandNode(i), sr, "no sg: " + sr + " takes the commands itself");
    }

    StartUp s = RunStartUp(p);
    CheckEq(s.view.captions[0], kRightCaption, "INQUIRY through /dev/sr0 names the drive");
    CheckEq(s.view.captions[2], std::string("NG"), "the unreadable /dev/sr2 is listed as NG");
    Check(s.messages.size() == 1, "one permission message");
    for (const auto& m : s.messages) std::printf("  message: %s\n", m.c_str());
    if (!s.messages.empty())
        CheckEq(s.messages[0],
                std::string("No permission to use /dev/sr0, /dev/sr1, /dev/sr2. Run as root or add the user to the "
                            "cdrom group."),
                "the message names every drive the program may not drive");

    CheckEq(table.AccessProblem(0), EPERM, "sr0: group-accessible block node without CAP_SYS_RAWIO is EPERM");
    CheckEq(table.AccessProblem(1), EPERM, "sr1: EPERM");
    CheckEq(table.AccessProblem(2), EACCES, "sr2: root's node is EACCES");

    // The prediction must match what the kernel then does to a vendor command.
    DriveLink link = kDetached;
    Attach(link, 0);
    static uint8_t block[FlashBlockSize];
    CheckEq(WriteFlashBlock(link, block, 0, 0, 0, 48, 1), 0, "FAh through /dev/sr0 is refused");
    CheckEq(table.LastError(0), EPERM, "... by the kernel, with EPERM");
    Detach(link);
}

void GenericNodes(DeviceTable& table, platform::LinuxDeviceHost& host, platform::Platform& p,
                  platform::RealClock& clock) {
    std::vector<std::string> generic;
    for (int i = 0; i < 3; ++i) {
        const std::string node = host.CommandNode(i);
        std::printf("  sr%d commands go through %s\n", i, node.c_str());
        Check(node.rfind("/dev/sg", 0) == 0 && ::access(node.c_str(), F_OK) == 0 &&
                  std::find(generic.begin(), generic.end(), node) == generic.end(),
              "sr" + std::to_string(i) + " commands go to an sg node of its own");
        generic.push_back(node);
        CheckEq(table.AccessProblem(i), 0, "sr" + std::to_string(i) + ": no access problem");
    }

    StartUp s = RunStartUp(p);
    CheckEq(s.view.captions[0], kRightCaption, "slot 0 caption");
    CheckEq(s.view.captions[1].substr(0, kQemuCaption.size()), kQemuCaption, "slot 1 caption: QEMU's own drive");
    CheckEq(s.view.captions[2], kRightCaption, "slot 2 caption");
    CheckEq(s.view.serials[2], std::string("QM2402002"), "slot 2 serial, from INQUIRY page 80h");
    for (const auto& m : s.messages) std::printf("  message: %s\n", m.c_str());
    Check(s.messages.empty(), "no permission message when the sg nodes are usable");

    DriveLink link = kDetached;

    // sr2: a medium, then ejected.
    Check(Attach(link, 2) == 1, "attach sr2");
    uint8_t inquiry[36] = {};
    Check(Inquiry(link, inquiry, 36) == 1, "INQUIRY sr2");
    std::printf("  sr2 INQUIRY: %s\n", Hex(inquiry, 36).c_str());
    CheckEq(inquiry[0] & 0x1F, 5, "sr2 is a CD/DVD device");
    CheckEq(Text(inquiry + 8, 8), std::string("ORVEX   "), "sr2 vendor");
    CheckEq(Text(inquiry + 16, 16), std::string("DVD RW LMX2097  "), "sr2 product");
    CheckEq(Text(inquiry + 32, 4), std::string("1.00"), "sr2 revision");
    CheckEq(TestUnitReady(link), 1, "sr2 with a medium is ready");
    CheckEq(StartStopUnit(link, 2, 0), 1, "sr2 ejects (GOOD)");
    CheckEq(TestUnitReady(link), 0, "sr2 is not ready after the eject");
    Sense(2, "TEST UNIT READY after eject");
    CheckEq(SenseCode(link), kSenseNoMedium, "sr2 sense 02/3A/00");
    Detach(link);

    // sr0: no medium, vendor commands refused by the drive.
    Check(Attach(link, 0) == 1, "attach sr0");
    CheckEq(TestUnitReady(link), 0, "sr0 without a medium is not ready");
    Sense(0, "TEST UNIT READY");
    CheckEq(SenseCode(link), kSenseNoMedium, "sr0 sense 02/3A/00");
    CheckEq(StartStopUnit(link, 2, 0), 1, "sr0 ejects (GOOD)");
    // A patterned block: what a failed read hands back below shows whether stale bytes leak.
    static uint8_t block[FlashBlockSize];
    for (int i = 0; i < FlashBlockSize; ++i) block[i] = static_cast<uint8_t>(0xA0 + i % 7);
    CheckEq(WriteFlashBlock(link, block, 0x1234, 0x5678, 0, 48, 1), 0, "FAh is refused by the drive");
    CheckEq(table.LastError(0), 0, "... as a drive answer, not a transport failure");
    const auto sense = Sense(0, "FAh");
    CheckEq(SenseCode(link), 0x052000u, "SenseCode packs 05/20/00");
    CheckEq(sense[0] & 0x7F, 0x70, "CopySense byte 0: fixed-format sense");
    CheckEq(sense[2] & 0x0F, 0x05, "CopySense byte 2: ILLEGAL REQUEST");
    CheckEq(sense[12], 0x20, "CopySense byte 12: invalid command operation code");
    CheckEq(sense[13], 0x00, "CopySense byte 13");

    // QEMU takes A0h for REPORT LUNS: the flash address lands in its allocation length.
    uint8_t flash[firmware::kFlashPiece];
    std::memset(flash, 0xCC, sizeof flash);
    CheckEq(ReadFlash(link, flash, 0, sizeof flash), 0, "A0h at 0 fails");
    Sense(0, "A0h at 0");
    std::printf("  sr0 buffer after the failed A0h: %s\n", Hex(flash, 8).c_str());
    CheckEq(table.LastError(0), 0, "... as a drive answer");
    // An allocation length past the buffer: the status is GOOD, the host status is not.
    CheckEq(ReadFlash(link, flash, 0x1000, sizeof flash), 0, "A0h at 0x1000 fails");
    std::printf("  sr0 LastError after A0h at 0x1000: %d (%s)\n", table.LastError(0),
                std::strerror(table.LastError(0)));
    CheckEq(table.LastError(0), EIO, "... as a transport failure (EIO)");
    bool readFailed = false;
    CheckEq(firmware::FlashRomChecksum(link, firmware::OnFailedRead::RetryOnceThenZero, {}, &readFailed), 0,
            "the read-back checksum of a drive that refuses reads is 0, stale bytes or not");
    Check(readFailed, "... and says the read failed");
    Detach(link);

    // Whole worker jobs, 60 s of modelled waiting at speed 1000.
    DeviceNames.Clear();
    for (auto& w : WrongDrive) w = 0;
    {
        AspiExec worker(true, clock);
        worker.DeviceIndex = 0;
        const auto start = std::chrono::steady_clock::now();
        worker.HandOver(0, false);
        worker.WaitIdle();
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        std::printf("  job on sr0: result %d, %lld ms\n", worker.ResultCode.load(), static_cast<long long>(ms));
        CheckEq(worker.ResultCode.load(), ResultFailed, "job on sr0 ends ResultFailed");
        CheckEq(DeviceNames.Get(0), std::string("ORVEX   DVD RW LMX2097"), "... reporting the drive's name");
        CheckEq(static_cast<int>(WrongDrive[0].load()), 0, "... not as a wrong drive");
        const auto last = Sense(0, "the job");
        Check(last[2] == 0x05 && last[12] == 0x20 && last[13] == 0x00, "... stopped on the refused block (05/20/00)");
        Check(ms >= 60 && ms < 30000, "... after the scaled 60 s wait");
    }
    {
        AspiExec worker(true, clock);
        worker.DeviceIndex = 1;
        worker.HandOver(1, false);
        worker.WaitIdle();
        CheckEq(worker.ResultCode.load(), ResultWrongDrive, "job on sr1 (QEMU's drive) ends ResultWrongDrive");
        CheckEq(static_cast<int>(WrongDrive[1].load()), 1, "... flagged for the report");
        CheckEq(DeviceNames.Get(1).substr(0, kQemuCaption.size()), kQemuCaption, "... under QEMU's name");
    }
}

// /dev/sg2 is root's alone while /dev/sr2 stays the group's: the message must name the node that
// refused, not the one an operator would look at first.
void GenericNodeRefused(DeviceTable& table, platform::Platform& p) {
    const platform::AccessProblem problem = table.Access(2);
    CheckEq(problem.error, EACCES, "sr2: its root-only sg node is EACCES");
    CheckEq(problem.node, std::string("/dev/sg2"), "... naming /dev/sg2");
    StartUp s = RunStartUp(p);
    for (const auto& m : s.messages) std::printf("  message: %s\n", m.c_str());
    Check(s.messages.size() == 1 &&
              s.messages[0] == "No permission to use /dev/sg2. Run as root or add the user to the cdrom group.",
          "the permission message names /dev/sg2");
}

// Two processes start a job on sr2 at the same moment: exactly one gets the drive and writes; the
// other finds it busy, names the writer and sends nothing.
void TwoWriters() {
    int barrier[2];
    if (::pipe(barrier) != 0) return Check(false, "pipe");
    struct Child {
        pid_t pid;
        int report;
    };
    std::vector<Child> children;
    for (int i = 0; i < 2; ++i) {
        int report[2];
        if (::pipe(report) != 0) return Check(false, "pipe");
        std::fflush(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(barrier[1]);
            ::close(report[0]);
            char go;
            if (::read(barrier[0], &go, 1) != 1) ::_exit(3);
            platform::RealClock clock(100);  // the minute's wait takes 0.6 s
            platform::LinuxDeviceHost host;
            platform::LinuxProcess process;
            platform::Platform p;
            p.clock = &clock;
            p.devices = &host;
            p.process = &process;
            DeviceTable table(p);
            ScopedDeviceTable installed(table);
            AspiExec worker(true, clock);
            worker.DeviceIndex = 2;
            worker.HandOver(2, false);
            worker.WaitIdle();
            char line[64];
            const int n = std::snprintf(line, sizeof line, "%d %d\n", worker.ResultCode.load(),
                                        worker.BusyHolder.load());
            if (::write(report[1], line, static_cast<size_t>(n)) != n) ::_exit(4);
            ::_exit(0);
        }
        ::close(report[1]);
        children.push_back({pid, report[0]});
    }
    ::close(barrier[0]);
    const char go[2] = {'g', 'g'};
    if (::write(barrier[1], go, 2) != 2) Check(false, "start both processes");
    ::close(barrier[1]);
    int results[2] = {-1, -1}, holders[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        char line[64] = {};
        const ssize_t n = ::read(children[i].report, line, sizeof line - 1);
        if (n > 0) std::sscanf(line, "%d %d", &results[i], &holders[i]);
        ::close(children[i].report);
        int status = 0;
        ::waitpid(children[i].pid, &status, 0);
        std::printf("  process %d: result %d, holder %d\n", static_cast<int>(children[i].pid), results[i], holders[i]);
    }
    const int writers = (results[0] == ResultFailed) + (results[1] == ResultFailed);
    const int busy = (results[0] == ResultBusy) + (results[1] == ResultBusy);
    Check(writers == 1 && busy == 1, "exactly one of two processes writes sr2, the other finds it busy");
    const int writer = results[0] == ResultFailed ? 0 : 1;
    CheckEq(holders[1 - writer], static_cast<int>(children[writer].pid), "the busy one names the writer's process");
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string phase = argc > 1 ? argv[1] : "";
    if (phase != "block-nodes" && phase != "generic-nodes" && phase != "sg-refused" && phase != "two-writers") {
        std::fprintf(stderr, "usage: guest_test block-nodes|generic-nodes|sg-refused|two-writers\n");
        return 2;
    }
    std::printf("== guest test, %s, uid %d\n", phase.c_str(), static_cast<int>(::geteuid()));
    Check(::geteuid() != 0 && !HoldsRawIo(), "runs without root and without CAP_SYS_RAWIO");

    platform::RealClock clock(1000);
    platform::LinuxDeviceHost host;
    platform::LinuxProcess process;
    RecordingDialogs dialogs;
    platform::Platform p;
    p.clock = &clock;
    p.devices = &host;
    p.process = &process;
    p.dialogs = &dialogs;

    DeviceTable table(p);
    ScopedDeviceTable installed(table);
    CheckEq(table.DeviceCount(), 3, "three drives discovered");
    for (int i = 0; i < table.DeviceCount(); ++i) {
        const std::string sr = "/dev/sr" + std::to_string(i);
        CheckEq(table.DeviceNode(i), sr, "drive " + std::to_string(i) + " is " + sr);
        CheckEq(table.DeviceId(i), i, "... with id " + std::to_string(i));
    }

    if (table.DeviceCount() == 3) {
        if (phase == "block-nodes")
            BlockNodes(table, host, p);
        else if (phase == "generic-nodes")
            GenericNodes(table, host, p, clock);
        else if (phase == "sg-refused")
            GenericNodeRefused(table, p);
        else
            TwoWriters();
    }

    std::printf("GUEST RESULT: %d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
