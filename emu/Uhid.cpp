#include "emu/Uhid.h"

#include <cstdio>
#include <cstring>

#include "emu/EmulatedSystem.h"

#if defined(__linux__)

#include <dirent.h>
#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>

#include "sys/FileLock.h"

#endif

namespace emu {

namespace {

constexpr const char* kUhidOption = "--uhid";

}  // namespace

std::vector<uint8_t> uhidReportDescriptor(int32_t type) {
    const uint16_t page = familyOf(type).usagePage;
    const ReportPath path = reportPathOf(type);
    const size_t payload = (path == ReportPath::standard ? kShortReport : kLongReport) - 1;
    const auto lo = [](size_t v) { return static_cast<uint8_t>(v & 0xFF); };
    const auto hi = [](size_t v) { return static_cast<uint8_t>((v >> 8) & 0xFF); };
    return {
        // Touch screen: report 1, one finger with tip switch, X and Y.
        0x05, 0x0D,                // Usage Page (Digitizer)
        0x09, 0x04,                // Usage (Touch Screen)
        0xA1, 0x01,                // Collection (Application)
        0x85, kUhidTouchReportId,  //   Report ID (1)
        0x09, 0x22,                //   Usage (Finger)
        0xA1, 0x02,                //   Collection (Logical)
        0x09, 0x42,                //     Usage (Tip Switch)
        0x15, 0x00, 0x25, 0x01,    //     Logical Minimum (0), Maximum (1)
        0x75, 0x01, 0x95, 0x01,    //     Report Size (1), Count (1)
        0x81, 0x02,                //     Input (Data, Variable, Absolute)
        0x95, 0x07, 0x81, 0x03,    //     seven bits of padding
        0x05, 0x01,                //     Usage Page (Generic Desktop)
        0x09, 0x30, 0x09, 0x31,    //     Usage (X), Usage (Y)
        0x26, 0xFF, 0x0F,          //     Logical Maximum (4095)
        0x75, 0x10, 0x95, 0x02,    //     Report Size (16), Count (2)
        0x81, 0x02,                //     Input (Data, Variable, Absolute)
        0xC0,                      //   End Collection
        0xC0,                      // End Collection
        // The chip's vendor collection: report 0x0E in and out.
        0x06, lo(page), hi(page),        // Usage Page (the family's vendor page)
        0x09, 0x01,                      // Usage (1)
        0xA1, 0x01,                      // Collection (Application)
        0x85, kReportId,                 //   Report ID (0x0E)
        0x15, 0x00, 0x26, 0xFF, 0x00,    //   Logical Minimum (0), Maximum (255)
        0x75, 0x08,                      //   Report Size (8)
        0x09, 0x01,                      //   Usage (1)
        0x96, lo(payload), hi(payload),  // Report Count (payload bytes)
        0x81, 0x02,                      //   Input (Data, Variable, Absolute)
        0x09, 0x01,                      //   Usage (1)
        0x96, lo(payload), hi(payload),  // Report Count (payload bytes)
        0x91, 0x02,                      //   Output (Data, Variable, Absolute)
        0xC0,                            // End Collection
    };
}

bool uhidRequested(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], kUhidOption) == 0)
            return true;
    }
    return false;
}

#if defined(__linux__)

namespace {

// Exit status when the virtual panel cannot be set up (as touchfw-emu's own).
constexpr int kUhidSetupFailed = 125;
// How often the node of a new device is looked for, and for how long.
constexpr int kNodeLookMs = 20;
constexpr uint64_t kNodeLookLimitMs = 5000;

uint64_t steadyMs() {
    return SystemClock().monotonicMs();
}

// A zeroed event of `type` (events are over 4 KiB: not on the stack).
std::unique_ptr<uhid_event> newEvent(uint32_t type) {
    auto ev = std::make_unique<uhid_event>();
    std::memset(ev.get(), 0, sizeof(uhid_event));
    ev->type = type;
    return ev;
}

}  // namespace

UhidDevice::UhidDevice(int fd, EmulatedChip& chip, VirtualClock& clock,
                       std::function<uint64_t()> nowMs)
    : fd_(fd), chip_(chip), clock_(clock), nowMs_(std::move(nowMs)) {
    if (!nowMs_)
        nowMs_ = steadyMs;
    // The chip's time starts now.
    const uint64_t start = nowMs_();
    const std::function<uint64_t()> real = nowMs_;
    nowMs_ = [real, start]() { return real() - start; };
}

UhidDevice::~UhidDevice() {
    destroy();
}

void UhidDevice::syncClock() {
    const uint64_t now = nowMs_();
    if (now > clock_.elapsedMs())
        clock_.advance(now - clock_.elapsedMs());
}

bool UhidDevice::send(const void* event, std::string* error) {
    const ssize_t n = ::write(fd_, event, sizeof(uhid_event));
    if (n == static_cast<ssize_t>(sizeof(uhid_event)))
        return true;
    const std::string why = n < 0 ? std::strerror(errno) : "short write";
    chip_.record(TranscriptEntry::Kind::note, "uhid write failed: " + why);
    if (error != nullptr)
        *error = why;
    return false;
}

bool UhidDevice::create(const std::string& uniq, std::string* error) {
    const int32_t type = chip_.type();
    const std::vector<uint8_t> descriptor = uhidReportDescriptor(type);
    auto ev = newEvent(UHID_CREATE2);
    uhid_create2_req& req = ev->u.create2;
    std::snprintf(reinterpret_cast<char*>(req.name), sizeof req.name, "touchfw-emu %s",
                  familyName(type));
    std::snprintf(reinterpret_cast<char*>(req.phys), sizeof req.phys, "touchfw-emu");
    std::snprintf(reinterpret_cast<char*>(req.uniq), sizeof req.uniq, "%s", uniq.c_str());
    req.rd_size = static_cast<uint16_t>(descriptor.size());
    std::memcpy(req.rd_data, descriptor.data(), descriptor.size());
    req.bus = 0x03;  // BUS_USB
    req.vendor = kEmuVendorId;
    req.product = familyOf(type).defaultPid;
    req.version = 1;
    if (!send(ev.get(), error))
        return false;
    created_ = true;
    chip_.record(TranscriptEntry::Kind::note, "uhid device created (" + uniq + ")");
    return true;
}

void UhidDevice::destroy() {
    if (!created_ || destroyed_)
        return;
    destroyed_ = true;
    lateWaiting_ = false;
    auto ev = newEvent(UHID_DESTROY);
    send(ev.get());
    chip_.record(TranscriptEntry::Kind::note, "uhid device removed");
}

bool UhidDevice::handleEvent(std::string* error) {
    auto ev = newEvent(0);
    const ssize_t n = ::read(fd_, ev.get(), sizeof(uhid_event));
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN)
            return true;
        if (error != nullptr)
            *error = std::strerror(errno);
        return false;
    }
    if (n == 0) {
        if (error != nullptr)
            *error = "end of file";
        return false;
    }
    if (static_cast<size_t>(n) < sizeof ev->type)
        return true;
    syncClock();
    switch (ev->type) {
        case UHID_OUTPUT: {
            const size_t size = std::min<size_t>(ev->u.output.size, UHID_DATA_MAX);
            if (ev->u.output.rtype == UHID_OUTPUT_REPORT) {
                output(ev->u.output.data, size, nullptr);
            } else {
                chip_.record(TranscriptEntry::Kind::note, "uhid: a report of another type ignored");
            }
            break;
        }
        case UHID_GET_REPORT:
            getReport(ev->u.get_report.id, ev->u.get_report.rnum, ev->u.get_report.rtype);
            break;
        case UHID_SET_REPORT: {
            const uint32_t id = ev->u.set_report.id;
            if (ev->u.set_report.rtype == UHID_OUTPUT_REPORT) {
                const size_t size = std::min<size_t>(ev->u.set_report.size, UHID_DATA_MAX);
                output(ev->u.set_report.data, size, &id);
            } else {
                chip_.record(TranscriptEntry::Kind::note, "uhid: SET_REPORT of a feature refused");
                auto reply = newEvent(UHID_SET_REPORT_REPLY);
                reply->u.set_report_reply.id = id;
                reply->u.set_report_reply.err = EIO;
                if (live())
                    send(reply.get());
            }
            break;
        }
        case UHID_START:
            started_ = true;
            chip_.record(TranscriptEntry::Kind::note, "uhid: start");
            break;
        case UHID_STOP:
        case UHID_OPEN:
        case UHID_CLOSE:
            chip_.record(TranscriptEntry::Kind::note, ev->type == UHID_STOP   ? "uhid: stop"
                                                      : ev->type == UHID_OPEN ? "uhid: open"
                                                                              : "uhid: close");
            break;
        default:
            chip_.record(TranscriptEntry::Kind::note,
                         formatText("uhid: event %u ignored", static_cast<unsigned>(ev->type)));
            break;
    }
    return true;
}

void UhidDevice::output(const uint8_t* data, size_t size, const uint32_t* replyId) {
    if (!live())
        return;
    // The host has moved on: a late answer still held back would now be
    // taken as the answer to this report's request.
    if (lateWaiting_) {
        lateWaiting_ = false;
        chip_.withholdLateAnswer("the host sent another report before its wait ended");
    }
    const std::optional<FaultDo> fault = chip_.outputFault(data, size);
    if (fault == FaultDo::disappear) {
        destroy();
        return;
    }
    const bool accepted =
        fault ? fault == FaultDo::dropReport : chip_.receiveReport(data, size, chip_.path());
    if (replyId != nullptr) {
        auto reply = newEvent(UHID_SET_REPORT_REPLY);
        reply->u.set_report_reply.id = *replyId;
        reply->u.set_report_reply.err = accepted ? 0 : EIO;
        send(reply.get());
    }
    if (chip_.path() == ReportPath::long268)
        sendQueuedAnswers();
}

bool UhidDevice::inputFault(const char* what) {
    std::string which;
    const std::optional<FaultDo> fault =
        chip_.faults().check(FaultOn::inputReport, ChipCommand::none, 0, &which);
    if (!fault)
        return false;
    chip_.record(TranscriptEntry::Kind::fault, std::string(what) + " failed: " + which);
    if (fault == FaultDo::disappear)
        destroy();
    return true;
}

void UhidDevice::sendInput(const std::vector<uint8_t>& report) {
    auto ev = newEvent(UHID_INPUT2);
    const size_t size = std::min<size_t>(report.size(), UHID_DATA_MAX);
    ev->u.input2.size = static_cast<uint16_t>(size);
    std::memcpy(ev->u.input2.data, report.data(), size);
    send(ev.get());
}

void UhidDevice::sendQueuedAnswers() {
    std::vector<uint8_t> report;
    while (live() && chip_.takeAnswer(&report)) {
        if (inputFault("input report"))
            continue;  // lost in transit: the host's wait runs out
        sendInput(report);
    }
    if (live() && chip_.hasLateAnswer()) {
        lateWaiting_ = true;
        lateDueMs_ = nowMs_() + kUhidLateAnswerMs;
    }
}

int64_t UhidDevice::msUntilDue() {
    if (!lateWaiting_)
        return -1;
    const uint64_t now = nowMs_();
    return now >= lateDueMs_ ? 0 : static_cast<int64_t>(lateDueMs_ - now);
}

void UhidDevice::sendDue() {
    if (!lateWaiting_ || msUntilDue() > 0)
        return;
    lateWaiting_ = false;
    syncClock();
    std::vector<uint8_t> report;
    if (live() && chip_.takeLateAnswer(&report) && !inputFault("late input report"))
        sendInput(report);
}

void UhidDevice::getReport(uint32_t id, uint8_t reportNumber, uint8_t reportType) {
    if (!live())
        return;
    auto reply = newEvent(UHID_GET_REPORT_REPLY);
    uhid_get_report_reply_req& answer = reply->u.get_report_reply;
    answer.id = id;
    answer.err = EIO;
    if (reportType != UHID_INPUT_REPORT || reportNumber != kReportId) {
        chip_.record(TranscriptEntry::Kind::note,
                     formatText("uhid: GET_REPORT of report 0x%02X type %u refused", reportNumber,
                                static_cast<unsigned>(reportType)));
    } else if (inputFault("input report")) {
        chip_.discardAnswer();  // lost with the failed transfer
    } else {
        uint8_t report[kShortReport] = {kReportId};
        uint32_t osError = 0;
        if (chip_.answerInputReport(report, sizeof report, &osError)) {
            answer.err = 0;
            answer.size = sizeof report;
            std::memcpy(answer.data, report, sizeof report);
        }
    }
    if (live())
        send(reply.get());
}

// ---- touchfw-emu --uhid -------------------------------------------------

namespace {

volatile sig_atomic_t stopSignal = 0;

void onStopSignal(int signal) {
    stopSignal = signal;
}

// The hidraw node whose HID device's uevent shows HID_UNIQ=uniq; empty when
// none (yet).
std::string findNode(const std::string& uniq) {
    const std::string classDir = "/sys/class/hidraw";
    std::string found;
    DIR* dir = ::opendir(classDir.c_str());
    if (dir == nullptr)
        return found;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, 6, "hidraw") != 0)
            continue;
        std::ifstream uevent(classDir + "/" + name + "/device/uevent");
        std::string line;
        while (std::getline(uevent, line)) {
            if (line == "HID_UNIQ=" + uniq)
                found = "/dev/" + name;
        }
    }
    ::closedir(dir);
    return found;
}

int usage(const char* why) {
    std::fprintf(stderr,
                 "touchfw-emu: %s\nusage: touchfw-emu --uhid [--chip FAMILY]  (FAMILY:", why);
    for (size_t row = 0; chipFamilyAt(row) != nullptr; ++row)
        std::fprintf(stderr, "%s %s", row == 0 ? "" : ",", chipFamilyAt(row)->name);
    std::fputs(")\n", stderr);
    return kUhidSetupFailed;
}

// The chip family of an --uhid command line; 0 (after saying why) when the
// line holds anything else.
int32_t uhidFamily(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], kUhidOption) == 0)
            continue;
        if (std::strcmp(argv[i], "--chip") != 0 || i + 1 >= argc) {
            usage((std::string("--uhid takes only --chip FAMILY, not ") + argv[i]).c_str());
            return 0;
        }
        if (familyFromName(argv[++i]) == 0) {
            usage((std::string("unknown chip family ") + argv[i]).c_str());
            return 0;
        }
    }
    return chipTypeFromArgs(argc, argv);
}

// The /dev/uhid descriptor, closed (which also removes a device still
// there) when the panel ends.
struct UhidFd {
    int fd;
    ~UhidFd() {
        if (fd >= 0)
            ::close(fd);
    }
};

int openUhid() {
    const int fd = ::open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (fd >= 0)
        return fd;
    const int error = errno;
    if (error == ENOENT || error == ENODEV || error == ENXIO) {
        std::fprintf(stderr,
                     "touchfw-emu: /dev/uhid is missing: load the uhid module (modprobe uhid, as "
                     "root) and try again.\n");
    } else if (error == EACCES || error == EPERM) {
        std::fprintf(stderr,
                     "touchfw-emu: no access to /dev/uhid (%s): a virtual HID device needs root, "
                     "or read and write access to /dev/uhid.\n",
                     std::strerror(error));
    } else {
        std::fprintf(stderr, "touchfw-emu: cannot open /dev/uhid: %s\n", std::strerror(error));
    }
    return -1;
}

// The kernel queues at most 32 events for the panel and drops what comes
// while the queue is full. An output report does not wait for the device
// (unlike one to a USB device), so a tool that writes a burst of reports
// (a 4096-byte block is 78 reports of the 65-byte framings) can outrun a
// panel that is not scheduled in time. A real-time priority lets the panel
// run as soon as a report arrives.
void keepUp() {
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO);
    if (sched_setscheduler(0, SCHED_FIFO, &param) != 0) {
        std::fprintf(stderr,
                     "touchfw-emu: no real-time priority (%s): reports a tool sends in quick "
                     "succession may be lost in the kernel's queue (the chip then reports "
                     "protocol errors).\n",
                     std::strerror(errno));
    }
}

// Serves the device until a stop signal, the device's end or a failure of
// the uhid descriptor. False on such a failure.
bool serve(UhidDevice& device, int fd, const std::string& uniq, const char* family) {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigset_t waiting;
    sigprocmask(SIG_BLOCK, &blocked, &waiting);
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGINT);

    bool ok = true;
    std::string node;
    const uint64_t createdMs = steadyMs();
    bool nodeReported = false;
    while (stopSignal == 0) {
        int64_t wait = device.msUntilDue();
        if (!nodeReported && device.started())
            wait = wait < 0 ? kNodeLookMs : std::min<int64_t>(wait, kNodeLookMs);
        timespec timeout{};
        timeout.tv_sec = static_cast<time_t>(wait / 1000);
        timeout.tv_nsec = static_cast<long>(wait % 1000) * 1000000L;
        pollfd p{fd, POLLIN, 0};
        const int r = ::ppoll(&p, 1, wait < 0 ? nullptr : &timeout, &waiting);
        if (r < 0 && errno != EINTR) {
            std::fprintf(stderr, "touchfw-emu: waiting on /dev/uhid failed: %s\n",
                         std::strerror(errno));
            ok = false;
            break;
        }
        if (r > 0) {
            std::string error;
            if (!device.handleEvent(&error)) {
                std::fprintf(stderr, "touchfw-emu: reading /dev/uhid failed: %s\n", error.c_str());
                ok = false;
                break;
            }
        }
        device.sendDue();
        if (!nodeReported && device.started()) {
            node = findNode(uniq);
            if (!node.empty()) {
                std::fprintf(stderr,
                             "touchfw-emu: virtual %s panel on %s (HID_UNIQ=%s); SIGTERM or "
                             "Ctrl-C removes it\n",
                             family, node.c_str(), uniq.c_str());
                nodeReported = true;
            } else if (steadyMs() - createdMs > kNodeLookLimitMs) {
                std::fprintf(stderr,
                             "touchfw-emu: virtual %s panel created (HID_UNIQ=%s), but no hidraw "
                             "node showed up: is the hidraw driver (hid-generic) loaded?\n",
                             family, uniq.c_str());
                nodeReported = true;
            }
        }
    }
    sigprocmask(SIG_SETMASK, &waiting, nullptr);
    return ok;
}

}  // namespace

int runUhid(int argc, char** argv) {
    const int32_t type = uhidFamily(argc, argv);
    if (type == 0)
        return kUhidSetupFailed;
    const char* family = familyName(type);
    const std::string statePath = stateFilePath(type, envValue("TOUCHFW_EMU_STATE_DIR"));

    const UhidFd uhid{openUhid()};
    const int fd = uhid.fd;
    if (fd < 0)
        return kUhidSetupFailed;
    // The panel owns its state file for its whole life: another instance (or
    // a touchfw-emu run) on the same file would write a different chip over it.
    FileLock lock;
    const FileLock::Result locked = lock.tryLock(statePath);
    if (locked != FileLock::Result::locked) {
        std::fprintf(stderr,
                     locked == FileLock::Result::busy
                         ? "touchfw-emu: %s is in use by another touchfw-emu; give each virtual "
                           "panel its own TOUCHFW_EMU_STATE_DIR.\n"
                         : "touchfw-emu: cannot create or lock %s.\n",
                     statePath.c_str());
        return kUhidSetupFailed;
    }

    VirtualClock clock;
    EmulatedChip chip(type, &clock);
    const char* transcriptPath = envValue("TOUCHFW_EMU_TRANSCRIPT");
    chip.setTranscriptRecording(transcriptPath != nullptr);
    {
        // Its size, not an open: the file is opened once, by loadStateFile,
        // on its terms (no FIFO waited on, no planted link followed).
        std::error_code ec;
        const uintmax_t size = std::filesystem::file_size(statePath, ec);
        if (!ec && size > 0)
            loadState(chip, statePath);
    }
    if (!addFaultsFromEnv(chip))
        return kUhidSetupFailed;

    keepUp();
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    const std::string uniq = formatText("touchfw-emu-%ld", static_cast<long>(::getpid()));
    bool served = false;
    {
        UhidDevice device(fd, chip, clock);
        std::string error;
        if (!device.create(uniq, &error)) {
            std::fprintf(stderr, "touchfw-emu: creating the device through /dev/uhid failed: %s\n",
                         error.c_str());
            return kUhidSetupFailed;
        }
        served = serve(device, fd, uniq, family);
        device.destroy();
    }

    std::string error;
    int result = served ? 0 : 1;
    if (!chip.saveStateFile(statePath, &error)) {
        std::fprintf(stderr, "touchfw-emu: %s\n", error.c_str());
        result = 1;
    }
    appendTranscript(chip, transcriptPath);
    printProtocolErrors(chip.protocolErrors());
    return result;
}

#else  // !__linux__

int runUhid(int, char**) {
    std::fprintf(stderr, "touchfw-emu: --uhid needs Linux (/dev/uhid).\n");
    return 125;
}

#endif

}  // namespace emu
