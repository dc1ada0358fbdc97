// Device discovery on Linux: a sysfs tree of hidraw nodes whose uevent and
// report descriptor files come from the fuzzer, enumerated by the hidraw
// backend; then the scan listing and a device search (whose opens fail or
// succeed as the input says) run over the interfaces found.
//
// Input: byte 0: number of nodes (1 + b % 3); byte 1: which open attempts
// fail (bit i: attempt i, with EACCES when bit 7 is set, else ENOENT);
// bytes 2-9: the four search keys (u16 each: vid, pid, usage page, usage).
// Then per node: a byte for its number N (hidrawN), a u16 uevent length
// (% 1024) and the uevent text, a u16 descriptor length (% 4096) and the
// report descriptor.
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "hid/DeviceMatch.h"
#include "hid/HidHostLinux.h"
#include "hid/HidInterface.h"
#include "hid/HidTarget.h"

namespace {

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    if (!bytes.empty())
        FUZZ_CHECK(std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
    std::fclose(file);
}

std::vector<uint8_t> takeBlock(fuzz::ByteReader& in, size_t limit) {
    std::vector<uint8_t> bytes(in.u16() % (limit + 1));
    in.take(bytes.data(), bytes.size());
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    VirtualClock clock;
    fuzz::InputScope scope(clock);
    fuzz::ByteReader in(data, size);
    const int nodes = 1 + in.byte() % 3;
    const uint8_t openFailures = in.byte();
    deviceMatch.vid = in.u16();
    deviceMatch.pid = in.u16();
    deviceMatch.usagePage = in.u16();
    deviceMatch.usage = in.u16();

    const std::string root = fuzz::freshScratchDir("sysfs");
    for (int i = 0; i < nodes; ++i) {
        const std::string name = "hidraw" + std::to_string(in.byte());
        const std::string device = root + "/class/hidraw/" + name + "/device";
        std::error_code ec;
        std::filesystem::create_directories(device, ec);
        const std::vector<uint8_t> uevent = takeBlock(in, 1024);
        const std::vector<uint8_t> descriptor = takeBlock(in, 4096);
        writeFile(device + "/uevent", uevent);
        writeFile(device + "/report_descriptor", descriptor);
    }

    int opens = 0;
    HidrawNodeOps ops;
    ops.open = [&](const std::string&) {
        const int attempt = opens++;
        if (attempt < 7 && (openFailures & (1 << attempt)) != 0)
            return (openFailures & 0x80) != 0 ? -EACCES : -ENOENT;
        return 9;
    };
    ops.ioctl = [](int, unsigned long, uint8_t*) { return -EIO; };
    ops.write = [](int, const uint8_t*, size_t) -> long { return -EIO; };
    ops.poll = [](int, int, short*) { return 0; };
    ops.read = [](int, uint8_t*, size_t) -> long { return -EIO; };
    ops.close = [](int) {};
    int64_t now = 0;
    ops.nowMs = [&now]() { return ++now; };
    HidHostLinux host(root, ops);

    for (const HidInterfaceInfo& iface : host.enumerate()) {
        FUZZ_CHECK(iface.path.compare(0, 11, "/dev/hidraw") == 0);
        FUZZ_CHECK(iface.queryError == HidQueryError::none || iface.usagePage == 0);
    }
    setHidHost(&host);
    listHidDevices();
    HidTarget target;
    if (target.open() == 0) {
        FUZZ_CHECK(target.isOpen());
        target.close();
    }
    FUZZ_CHECK(!target.isOpen());
    setHidHost(nullptr);
    return 0;
}
