// touchfw-image info: what a firmware image holds, read with the image
// classes touchfw uses, and whether touchfw would load it.
#include <cstdio>
#include <cstring>

#include "fw/FwImage.h"
#include "fw/FwImageBuilder.h"
#include "sys/Bytes.h"
#include "tools/image/ImageTool.h"

namespace imagetool {
namespace {

std::string printable(const uint8_t* bytes, size_t n) {
    std::string s;
    for (size_t i = 0; i < n && bytes[i] != 0; ++i) {
        s += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? static_cast<char>(bytes[i]) : '?';
    }
    return s;
}

std::string hexBytes(const uint8_t* bytes, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += formatText(i ? " %02X" : "%02X", bytes[i]);
    return s;
}

// One "info" report under way: the file's bytes, its family's layout, the
// text lines printed and the JSON object filled in step by step.
struct ImageReport {
    const ChipFamily& chip;
    const std::string& path;
    const Bytes& bytes;
    const FwImageLayout& layout;
    Report out;
    nlohmann::json j;

    uint64_t size() const { return bytes.size(); }
    bool layoutB() const { return layout.kind == FwLayoutKind::B; }
};

void reportFile(ImageReport& r) {
    const char* layoutName = r.layoutB() ? "B" : "A";
    r.j["file"] = r.path;
    r.j["size"] = r.size();
    r.j["chip"] = r.chip.name;
    r.j["imageClass"] = r.layout.className;
    r.j["layout"] = layoutName;
    r.out.line("File:          %s (%llu bytes)\n", logSafeText(r.path).c_str(),
               static_cast<unsigned long long>(r.size()));
    r.out.line("Chip:          %s, %s, layout %s\n", r.chip.name, r.layout.className, layoutName);
}

// The length and checksum fields against the file's size and body.
void reportHeader(ImageReport& r) {
    const FwImageLayout& layout = r.layout;
    r.j["header"] = nullptr;
    if (r.size() < layout.headerSize) {
        r.out.line("Header:        file shorter than the %u-byte header\n", layout.headerSize);
        return;
    }
    const bool layoutB = r.layoutB();
    const uint8_t* h = r.bytes.data();
    const uint32_t lengthField = layoutB ? readLe32(h) : readBe32(h);
    const uint64_t bodySize = r.size() - layout.headerSize;
    r.out.line("Length field:  %u (file size - %u = %llu): %s\n", lengthField, layout.headerSize,
               static_cast<unsigned long long>(bodySize), lengthField == bodySize ? "ok" : "WRONG");
    const uint32_t stored = layoutB ? readLe32(h + 4) : readBe16(h + 4);
    const uint32_t calculated = layoutB ? fwChecksumLayoutB(h + layout.headerSize, bodySize)
                                        : fwChecksumLayoutA(h + layout.headerSize, bodySize);
    r.out.line(layoutB ? "Checksum:      stored 0x%08X, calculated 0x%08X: %s\n"
                       : "Checksum:      stored 0x%04X, calculated 0x%04X: %s\n",
               stored, calculated, stored == calculated ? "ok" : "WRONG");
    r.j["header"] = {{"size", layout.headerSize},
                     {"lengthField", lengthField},
                     {"bodySize", bodySize},
                     {"lengthOk", lengthField == bodySize},
                     {"checksumStored", stored},
                     {"checksumCalculated", calculated},
                     {"checksumOk", stored == calculated}};
}

void reportPidAndVid(ImageReport& r, FwImage& image) {
    const FwImageLayout& layout = r.layout;
    r.j["pid"] = nullptr;
    if (r.size() >= layout.pidOffset + kFwPidBytes) {
        image.initPid();
        const uint8_t* raw = r.bytes.data() + layout.pidOffset;
        std::string stored;
        for (uint32_t i = 0; i < kFwPidBytes; ++i) {
            if (raw[i] != 0)
                stored += static_cast<char>(raw[i]);
        }
        // The text as touchfw logs it; the bytes show what is really there.
        r.out.line(
            "Pid:           \"%s\"%s (bytes %s)\n", logSafeText(image.pid).c_str(),
            stored == image.pid ? "" : (" read from \"" + logSafeText(stored) + "\"").c_str(),
            hexBytes(raw, kFwPidBytes).c_str());
        r.j["pid"] = {{"text", printable(reinterpret_cast<const uint8_t*>(image.pid),
                                         std::strlen(image.pid))},
                      {"bytes", hexBytes(raw, kFwPidBytes)}};
    } else {
        r.out.line("Pid:           outside the file (bytes %u to %u)\n", layout.pidOffset,
                   layout.pidOffset + kFwPidBytes - 1);
    }
    r.j["vid"] = nullptr;
    if (r.size() >= layout.vidOffset + kFwVidBytes) {
        image.initVid();
        r.out.line("Vid:           %s\n", vidText(image.vid).c_str());
        r.j["vid"] = vidText(image.vid);
    } else {
        r.out.line("Vid:           outside the file (bytes %u to %u)\n", layout.vidOffset,
                   layout.vidOffset + kFwVidBytes - 1);
    }
}

// The identity block sub-firmware 0 starts with, when it has one.
void reportIdentity(ImageReport& r, const FwImage& image, uint64_t offset, nlohmann::json& sub) {
    const uint8_t* id = r.bytes.data() + offset;
    const std::string idPid = printable(id + 4, 8);
    const bool same = idPid == image.pid && std::memcmp(id + 12, image.vid, 4) == 0;
    r.out.line("         identity block: Pid \"%s\", Vid %s%s\n", idPid.c_str(),
               vidText(id + 12).c_str(), same ? "" : " (differs from the image's Pid/Vid)");
    sub["identity"] = {{"pid", idPid}, {"vid", vidText(id + 12)}, {"matchesImage", same}};
}

void reportSubFirmwares(ImageReport& r, FwImage& image) {
    const FwImageLayout& layout = r.layout;
    r.j["subFirmwareCount"] = nullptr;
    r.j["subFirmwares"] = nlohmann::json::array();
    if (r.size() <= layout.countOffset) {
        r.out.line("Sub-firmwares: count byte at %u is outside the file\n", layout.countOffset);
        return;
    }
    const int32_t count = image.getFwSubFwNum();
    r.j["subFirmwareCount"] = count;
    r.out.line("Sub-firmwares: %d (table at %u, %u-byte entries; data from %u)\n", count,
               layout.tableOffset, layout.entrySize, layout.dataOffset);
    if (count > 0) {
        r.out.line("    #  type      length     address  data offset     data end\n");
    }
    uint64_t offset = layout.dataOffset;
    for (int32_t i = 0; i < count; ++i) {
        if (image.getFwSubInfo(i) == nullptr) {
            r.out.line("  %3d  entry outside the file\n", i);
            break;
        }
        const uint32_t length = image.getFwSubFwLen(i);
        const uint64_t end = offset + length;
        r.out.line("  %3d  0x%02X  %10u  0x%08X  %11llu  %11llu%s\n", i, image.getFwSubFwType(i),
                   length, image.getFwSubFwAddr(i), static_cast<unsigned long long>(offset),
                   static_cast<unsigned long long>(end),
                   end > r.size() ? "  (data outside the file)" : "");
        nlohmann::json sub = {{"index", i},
                              {"type", image.getFwSubFwType(i)},
                              {"length", length},
                              {"address", image.getFwSubFwAddr(i)},
                              {"dataOffset", offset},
                              {"dataEnd", end},
                              {"dataInFile", end <= r.size()},
                              {"identity", nullptr}};
        if (i == 0 && end <= r.size() && length >= kFwIdentityBlockSize &&
            std::memcmp(r.bytes.data() + offset, kFwIdentityMagic, 4) == 0) {
            reportIdentity(r, image, offset, sub);
        }
        r.j["subFirmwares"].push_back(sub);
        offset = end;
    }
}

// Loads the file exactly as touchfw does and reports load's result, with the
// error lines it logged.
int reportLoad(ImageReport& r) {
    std::vector<std::string> errors;
    const int32_t result = loadCatchingErrors(
        [&r] { return createFwImage(r.chip.type)->load(r.path.c_str()); }, errors);
    r.j["loads"] = result == 0;
    r.j["loadResult"] = result;
    r.j["errors"] = errors;
    if (r.out.json()) {
        printJson(r.j);
        return result == 0 ? kExitOk : kExitFailure;
    }
    if (result == 0) {
        std::printf("Result:        loads (load returns 0)\n");
        return kExitOk;
    }
    std::printf("Result:        would NOT load (load returns %d)\n", result);
    for (const std::string& line : errors)
        std::printf("               %s\n", line.c_str());
    return kExitFailure;
}

}  // namespace

int printImageInfo(const ChipFamily& chip, const std::string& path, bool json) {
    Bytes bytes;
    std::string error;
    if (!readWholeFile(path, kFwImageMaxBytes, bytes, error))
        throw inputError(error);
    ImageReport r{chip, path, bytes, *fwImageLayout(chip.type), Report(json), nlohmann::json()};
    reportFile(r);
    reportHeader(r);

    // Read the fields with the image class itself, on the raw bytes: its
    // accessors stay inside the data whatever the file says.
    auto image = createFwImage(chip.type);
    image->fwData = bytes;
    image->fwSize = static_cast<uint32_t>(bytes.size());
    image->isLoaded = true;
    logLevel = 0;
    reportPidAndVid(r, *image);
    reportSubFirmwares(r, *image);
    return reportLoad(r);
}

int commandInfo(Args& args) {
    std::string file;
    bool json = false;
    const ChipFamily& chip = chipAndFile(args, "info", file, json);
    return printImageInfo(chip, file, json);
}

}  // namespace imagetool
