// Seed inputs for the device_answers and hidraw_answers fuzz targets: each
// plan runs against the chip emulator while a recorder sits on the HID
// interface; the emulator's answers are then written in the input format of
// each target (see DeviceSession.h), so a seed replays a real conversation.
//
// For the app target, command lines run through runMain against the
// emulator with a recorder on the HID host; the host calls become the fake
// hidraw node's control bytes.
//
// Usage: touchfw_fuzz_seeds OUTDIR
//   writes OUTDIR/device_answers/<family>-<plan>,
//   OUTDIR/hidraw_answers/<family>-<plan> and OUTDIR/app/<name>.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/App.h"
#include "chip/ChipProfile.h"
#include "emu/Emulator.h"
#include "fuzz/DeviceSession.h"
#include "fuzz/FuzzSupport.h"
#include "hid/HidInterface.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct ReadEvent {
    int result = 0;
    Bytes request;  // the last report written before the read
    Bytes answer;   // `length` bytes as delivered
};

struct Recorder {
    HidInterface inner{};
    Bytes lastRequest;
    std::vector<ReadEvent> reads;
};

Recorder recorder;

int recOpen(void* context) {
    return recorder.inner.open(context);
}

int recClose(void* context) {
    return recorder.inner.close(context);
}

int recWrite(uint8_t* buffer, int length, void* context) {
    if (buffer != nullptr && length > 0)
        recorder.lastRequest.assign(buffer, buffer + length);
    return recorder.inner.write(buffer, length, context);
}

int recRead(uint8_t* buffer, int length, void* context) {
    ReadEvent event;
    event.request = recorder.lastRequest;
    event.result = recorder.inner.read(buffer, length, context);
    if (buffer != nullptr && length > 0)
        event.answer.assign(buffer, buffer + length);
    if (event.result == 0)
        fuzz::deliveries().push_back({event.request, event.answer});
    recorder.reads.push_back(event);
    return event.result;
}

void append(Bytes& out, const uint8_t* p, size_t n) {
    out.insert(out.end(), p, p + n);
}

// True when the answer is exactly what a well-formed answer would be, and
// appends its data bytes.
bool wellFormedData(const ReadEvent& event, Bytes& data) {
    const size_t size = event.answer.size();
    const int requested = fuzz::requestedLength(event.request);
    const bool longReport = size >= static_cast<size_t>(kLongReportSize);
    const size_t fieldAt = longReport ? 10 : 3;
    const size_t dataAt = longReport ? 12 : 5;
    if (size < dataAt || requested > fuzz::answerCapacity(size))
        return false;
    const int field = (event.answer[fieldAt] << 8) | event.answer[fieldAt + 1];
    if (field != requested)
        return false;
    append(data, event.answer.data() + dataAt, static_cast<size_t>(requested));
    return true;
}

Bytes encodeForInterface(const Bytes& plan, const std::vector<ReadEvent>& reads) {
    Bytes out = plan;
    for (const ReadEvent& event : reads) {
        if (event.result != 0) {
            out.push_back(static_cast<uint8_t>(fuzz::AnswerKind::fail));
            continue;
        }
        Bytes data;
        if (wellFormedData(event, data)) {
            out.push_back(static_cast<uint8_t>(fuzz::AnswerKind::wellFormed));
            append(out, data.data(), data.size());
        } else {
            out.push_back(static_cast<uint8_t>(fuzz::AnswerKind::raw));
            append(out, event.answer.data(), event.answer.size());
        }
    }
    return out;
}

// The same conversation one level lower. Reads the HID target refused
// itself (result -1 or -2) never reach the node and take no control byte.
Bytes encodeForHidraw(const Bytes& plan, const std::vector<ReadEvent>& reads, bool longPath) {
    Bytes out = plan;
    for (const ReadEvent& event : reads) {
        if (event.result == -1 || event.result == -2)
            continue;
        if (longPath)
            out.push_back(event.result != 0 ? 2 : 0);  // poll: hang-up or input ready
        if (event.result != 0) {
            if (!longPath)
                out.push_back(static_cast<uint8_t>(fuzz::AnswerKind::fail));
            continue;
        }
        Bytes data;
        if (wellFormedData(event, data)) {
            out.push_back(0);
            append(out, data.data(), data.size());
        } else {
            out.push_back(1);
            if (longPath) {
                out.push_back(static_cast<uint8_t>(event.answer.size()));
                out.push_back(static_cast<uint8_t>(event.answer.size() >> 8));
            }
            append(out, event.answer.data(), event.answer.size());
        }
    }
    return out;
}

void writeSeed(const std::filesystem::path& path, const Bytes& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::FILE* file = std::fopen(path.string().c_str(), "wb");
    if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
        std::perror(path.string().c_str());
        std::exit(1);
    }
    std::fclose(file);
}

// A host in front of the emulated one that writes what the reader got, in
// the control bytes of the fake hidraw node (FakeHidraw.h); every other call
// goes through unchanged.
class RecordingHost : public ForwardingHidHost {
  public:
    explicit RecordingHost(HidHost& inner) : ForwardingHidHost(inner) {}
    Bytes stream;

    bool setOutputReport(HidHandle handle, const uint8_t* report, size_t length,
                         uint32_t* osError) override {
        last_.assign(report, report + length);
        return inner_.setOutputReport(handle, report, length, osError);
    }
    bool writeReport(HidHandle handle, const uint8_t* report, size_t length,
                     uint32_t* osError) override {
        last_.assign(report, report + length);
        return inner_.writeReport(handle, report, length, osError);
    }
    bool getInputReport(HidHandle handle, uint8_t* report, size_t length,
                        uint32_t* osError) override {
        const bool ok = inner_.getInputReport(handle, report, length, osError);
        if (!ok) {
            stream.push_back(static_cast<uint8_t>(fuzz::AnswerKind::fail));
            return false;
        }
        append(Bytes(report, report + length), false);
        return true;
    }
    HidReadResult readReport(HidHandle handle, uint8_t reportId, uint8_t* report, size_t length,
                             int timeoutMs, size_t* received, uint32_t* osError) override {
        const HidReadResult result =
            inner_.readReport(handle, reportId, report, length, timeoutMs, received, osError);
        if (result == HidReadResult::timeout) {
            stream.push_back(1);  // poll: nothing within the wait
        } else if (result != HidReadResult::ok) {
            stream.push_back(2);  // poll: hang-up
        } else {
            stream.push_back(0);  // poll: input ready
            append(Bytes(report, report + *received), true);
        }
        return result;
    }

  private:
    // A well-formed answer takes its data bytes only; anything else goes raw.
    void append(const Bytes& report, bool queued) {
        ReadEvent event;
        event.request = last_;
        event.answer = report;
        Bytes data;
        const size_t full = queued ? static_cast<size_t>(kLongReportSize)
                                   : static_cast<size_t>(kStandardReportSize);
        if (report.size() == full && wellFormedData(event, data)) {
            stream.push_back(0);
            stream.insert(stream.end(), data.begin(), data.end());
            return;
        }
        stream.push_back(1);
        if (queued) {
            stream.push_back(static_cast<uint8_t>(report.size()));
            stream.push_back(static_cast<uint8_t>(report.size() >> 8));
        }
        stream.insert(stream.end(), report.begin(), report.end());
    }

    Bytes last_;
};

struct AppSeed {
    const char* name;
    int32_t type;
    std::vector<std::string> args;
};

// Command lines of every run mode, against the emulated chip of a family.
std::vector<AppSeed> appSeeds() {
    return {
        {"fjordK-pid", CHIP_FJORDK, {"-p", "pid"}},
        {"Corvina-vid", CHIP_CORVINA, {"--chip", "Corvina", "-p", "vid"}},
        {"5410-sensorid", CHIP_5410, {"--chip", "5410", "-p", "sensorid", "--loglevel", "0x1F"}},
        {"5415R-cfgver", CHIP_5415R, {"--chip", "5415r", "--property", "CFGVER"}},
        {"fjordK8-cfgver", CHIP_FJORDK8, {"--chip", "fjordK8", "-p", "cfgver"}},
        {"fjordH3-read", CHIP_FJORDH3, {"--chip", "fjordH3", "-r", "0x10000", "-l", "61"}},
        {"fjordK4-write",
         CHIP_FJORDK4,
         {"--chip", "fjordK4", "-w", "0x10000", "--data", "0x01,0x02,0x03", "--length", "5"}},
        {"fjordK-writecmd", CHIP_FJORDK, {"--writecmd", "--data", "0x0E,0x40,0x00"}},
        {"Corvina-rawdata",
         CHIP_CORVINA,
         {"--chip", "Corvina", "--rawdata", "--diffdata", "--basedata", "--row", "2", "--col", "3",
          "-t", "2", "--showtype", "dec"}},
        {"fjordK-update", CHIP_FJORDK, {"-f", "fw-fjordK.bin", "-c", "cfg-fjordK.cfg", "-d"}},
        {"5410-update",
         CHIP_5410,
         {"--chip", "5410", "-f", "fw-5410.bin", "-i", "--fwflag", "0x0C", "--verbose"}},
        {"fjordK8-update", CHIP_FJORDK8, {"--chip", "fjordK8", "-f", "fw-fjordK8.bin"}},
        {"5415R-config", CHIP_5415R, {"--chip", "5415R", "-c", "cfg-5415R.cfg", "--nooutput"}},
        {"scan", CHIP_FJORDK, {"--scan"}},
    };
}

Bytes recordApp(const AppSeed& seed, const std::string& dir) {
    VirtualClock clock;
    fuzz::InputScope scope(clock);
    emu::SystemOptions options;
    options.decoys = false;
    options.twin = false;
    options.configureProcess = false;  // runMain does it
    emu::EmulatedSystem system(seed.type, options);
    system.chip().setProductId("FUZZ");  // the Pid of the sample images
    RecordingHost recorder(system.host());
    setHidHost(&recorder);

    std::vector<std::string> args{"touchfw"};
    args.insert(args.end(), seed.args.begin(), seed.args.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    const std::filesystem::path home = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    const int status = runMain(static_cast<int>(args.size()), argv.data());
    std::filesystem::current_path(home);
    std::fprintf(stderr, "app/%s: exit status %d\n", seed.name, status);
    setHidHost(&system.host());

    Bytes out;
    for (size_t i = 1; i < args.size(); ++i) {
        out.insert(out.end(), args[i].begin(), args[i].end());
        out.push_back(0);
    }
    out.push_back(0);
    out.insert(out.end(), recorder.stream.begin(), recorder.stream.end());
    return out;
}

struct NamedPlan {
    const char* name;
    fuzz::SessionPlan plan;
};

std::vector<NamedPlan> plansFor(int32_t type) {
    const ChipProfile profile = chipProfileOf(type);
    std::vector<NamedPlan> plans;

    fuzz::SessionPlan identity;
    identity.chipType = type;
    identity.ops = 0x01 | 0x02 | 0x04 | 0x08;
    // A short read, one over the 60-byte chunk, one over the 256-byte chunk.
    identity.reads = {{profile.pidAddr, 4}, {profile.vidAddr, 61}, {profile.cfgAddr, 300}};
    plans.push_back({"identity", identity});

    fuzz::SessionPlan queries;
    queries.chipType = type;
    queries.ops = 0x10 | 0x40;
    queries.reads = {{profile.pidAddr, 8}};
    plans.push_back({"queries", queries});

    fuzz::SessionPlan update;
    update.chipType = type;
    update.ops = 0x80;
    plans.push_back({"update", update});

    if (type != CHIP_FJORDK8) {  // fjordK8 has no touch-data mode
        fuzz::SessionPlan touch;
        touch.chipType = type;
        touch.ops = 0x20;
        touch.rows = 2;
        touch.cols = 3;
        touch.touch = 0x07 | 0x10;
        plans.push_back({"touch", touch});
    }
    return plans;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const std::filesystem::path out = argv[1];
    fuzz::initProcess();
    for (int32_t type = CHIP_5410; type <= CHIP_FJORDK4; ++type) {
        for (const NamedPlan& named : plansFor(type)) {
            VirtualClock clock;
            fuzz::InputScope scope(clock);
            emu::SystemOptions options;
            options.decoys = false;
            options.twin = false;
            emu::EmulatedSystem system(type, options);
            recorder = Recorder();
            recorder.inner = *getHidInterface();
            *getHidInterface() = HidInterface{recOpen, recClose, recWrite, recRead, nullptr};

            fuzz::runSession(named.plan);

            const Bytes plan = fuzz::encodePlan(named.plan);
            const std::string file = std::string(emu::familyName(type)) + "-" + named.name;
            writeSeed(out / "device_answers" / file, encodeForInterface(plan, recorder.reads));
            writeSeed(out / "hidraw_answers" / file,
                      encodeForHidraw(plan, recorder.reads, type == CHIP_FJORDK8));
            if (!system.protocolErrors().empty()) {
                std::fprintf(stderr, "%s: the emulator saw protocol errors:\n", file.c_str());
                for (const std::string& e : system.protocolErrors())
                    std::fprintf(stderr, "  %s\n", e.c_str());
            }
        }
    }
    const std::string dir = fuzz::freshScratchDir("seeds");
    fuzz::writeSampleFiles(dir);
    for (const AppSeed& seed : appSeeds()) {
        writeSeed(out / "app" / seed.name, recordApp(seed, dir));
    }
    return 0;
}
