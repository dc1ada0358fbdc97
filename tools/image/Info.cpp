// touchfw-image info: what a firmware image holds, read with the image
// classes touchfw uses, whether touchfw would load it, and which families'
// layouts fit it.
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <utility>

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

const char* layoutName(const FwImageLayout& layout) {
    return layout.kind == FwLayoutKind::B ? "B" : "A";
}

// One family's try at the file: whether its image class loads it, the Pid it
// reads then, and the error lines it logs otherwise.
struct FamilyTry {
    const ChipFamily* chip;
    const FwImageLayout* layout;
    int32_t result;
    std::string pid;
    std::vector<std::string> errors;
    std::vector<std::string> functions;  // the function that logged each error line

    bool loads() const { return result == 0; }
    // The file's Pid is the one a fresh chip of this family reports.
    bool pidIsFamilys() const { return loads() && pid == chip->pidText; }
};

// Every family's try; `load` loads the family's empty image.
std::vector<FamilyTry> tryEveryFamily(const std::function<int32_t(FwImage&)>& load) {
    std::vector<FamilyTry> tries;
    forEachFamilyImage([&](const ChipFamily& chip, FwImage& image) {
        FamilyTry t{&chip, image.layout(), 0, {}, {}, {}};
        t.result = loadCatchingErrors([&] { return load(image); }, t.errors, &t.functions);
        if (t.loads())
            t.pid = image.pid;
        tries.push_back(std::move(t));
    });
    return tries;
}

// The family the file most likely is: the first that loads it with its own
// fresh Pid, else the first that loads it; nullptr when none does.
const FamilyTry* likeliestFamily(const std::vector<FamilyTry>& tries) {
    const FamilyTry* first = nullptr;
    for (const FamilyTry& t : tries) {
        if (t.pidIsFamilys())
            return &t;
        if (first == nullptr && t.loads())
            first = &t;
    }
    return first;
}

const FamilyTry& tryOf(const std::vector<FamilyTry>& tries, const ChipFamily& chip) {
    for (const FamilyTry& t : tries) {
        if (t.chip->type == chip.type)
            return t;
    }
    return tries.front();  // every family with a layout is tried
}

// Layouts that keep every field at the same place: the file cannot tell
// their families apart.
bool samePositions(const FwImageLayout& a, const FwImageLayout& b) {
    return a.kind == b.kind && a.headerSize == b.headerSize && a.pidOffset == b.pidOffset &&
           a.vidOffset == b.vidOffset && a.countOffset == b.countOffset &&
           a.tableOffset == b.tableOffset && a.entrySize == b.entrySize &&
           a.dataOffset == b.dataOffset;
}

// The loader's lines about the header (the length and checksum check, and the
// line load adds after it); the header lines of the report show those checks.
bool restatesHeaderCheck(const std::string& function, const std::string& text) {
    const std::string check = "::checkFw";
    const bool fromCheck =
        function.size() >= check.size() &&
        function.compare(function.size() - check.size(), check.size(), check) == 0;
    return fromCheck || (function == "FwImage::load" && text == "Check sum error");
}

// "Fits:" - the families whose layout loads the file (the chip asked for
// named when it is not among them), and the one whose Pid the file carries.
std::string fitsText(const std::vector<FamilyTry>& tries, const ChipFamily* chip) {
    std::string names;
    const FamilyTry* byPid = nullptr;
    for (const FamilyTry& t : tries) {
        if (!t.loads())
            continue;
        names += (names.empty() ? "" : ", ") + std::string(t.chip->name);
        if (byPid == nullptr && t.pidIsFamilys())
            byPid = &t;
    }
    if (names.empty())
        return "no family";
    if (chip != nullptr && !tryOf(tries, *chip).loads())
        names += formatText(", not %s", chip->name);
    if (byPid != nullptr) {
        names += formatText(
            " (Pid \"%s\" is %s's)",
            printable(reinterpret_cast<const uint8_t*>(byPid->pid.data()), byPid->pid.size())
                .c_str(),
            byPid->chip->name);
    }
    return names;
}

void jsonFamilies(nlohmann::json& j, const std::vector<FamilyTry>& tries, const ChipFamily* chip) {
    j["chipGiven"] = chip != nullptr;
    j["fits"] = nlohmann::json::array();
    j["pidMatches"] = nlohmann::json::array();
    j["families"] = nlohmann::json::array();
    for (const FamilyTry& t : tries) {
        if (t.loads())
            j["fits"].push_back(t.chip->name);
        if (t.pidIsFamilys())
            j["pidMatches"].push_back(t.chip->name);
        j["families"].push_back({{"chip", t.chip->name},
                                 {"imageClass", t.layout->className},
                                 {"layout", layoutName(*t.layout)},
                                 {"loads", t.loads()},
                                 {"loadResult", t.result},
                                 {"errors", t.errors}});
    }
}

// One "info" report under way: the file's bytes, the layout it is read with,
// the text lines printed and the JSON object filled in step by step.
struct ImageReport {
    const ChipFamily& chip;
    const std::string& path;
    const Bytes& bytes;
    const FwImageLayout& layout;
    Report out;
    nlohmann::json& j;

    uint64_t size() const { return bytes.size(); }
    bool layoutB() const { return layout.kind == FwLayoutKind::B; }
};

void reportFile(Report& out, nlohmann::json& j, const std::string& path, const Bytes& bytes) {
    j["file"] = path;
    j["size"] = bytes.size();
    out.line("File:          %s (%llu bytes)\n", logSafeText(path).c_str(),
             static_cast<unsigned long long>(bytes.size()));
}

void reportChip(ImageReport& r) {
    r.j["chip"] = r.chip.name;
    r.j["imageClass"] = r.layout.className;
    r.j["layout"] = layoutName(r.layout);
    r.out.line("Chip:          %s, %s, layout %s\n", r.chip.name, r.layout.className,
               layoutName(r.layout));
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
            hexText(raw, kFwPidBytes, ' ').c_str());
        r.j["pid"] = {{"text", printable(reinterpret_cast<const uint8_t*>(image.pid),
                                         std::strlen(image.pid))},
                      {"bytes", hexText(raw, kFwPidBytes, ' ')}};
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

// Load's result for the family the report reads the file as, with the error
// lines touchfw would log; in the text report each failed check once (the
// header lines above already show the length and the checksum). When the
// chip asked for does not fit but another family does, names that one
// instead of the errors of a layout that is not the file's.
int reportLoad(ImageReport& r, bool json, const FamilyTry& t, const FamilyTry* instead) {
    r.j["loads"] = t.loads();
    r.j["loadResult"] = t.result;
    r.j["errors"] = t.errors;
    if (json) {
        printJson(r.j);
        return t.loads() ? kExitOk : kExitFailure;
    }
    if (t.loads()) {
        std::printf("Result:        loads (load returns 0)\n");
        return kExitOk;
    }
    std::printf("Result:        would NOT load (load returns %d)\n", t.result);
    if (instead != nullptr) {
        std::printf("               not a %s image: try --chip %s\n", t.chip->name,
                    instead->chip->name);
        return kExitFailure;
    }
    for (size_t i = 0; i < t.errors.size(); ++i) {
        if (!restatesHeaderCheck(t.functions[i], t.errors[i]))
            std::printf("               %s\n", t.errors[i].c_str());
    }
    return kExitFailure;
}

// No --chip and no family loads the file: why not, once per layout.
int reportNoFamilyFits(Report& out, nlohmann::json& j, bool json,
                       const std::vector<FamilyTry>& tries) {
    for (const char* key : {"chip", "imageClass", "layout", "header", "pid", "vid",
                            "subFirmwareCount", "loadResult"}) {
        j[key] = nullptr;
    }
    j["subFirmwares"] = nlohmann::json::array();
    j["loads"] = false;
    j["errors"] = nlohmann::json::array();
    if (json) {
        printJson(j);
        return kExitFailure;
    }
    out.line("Fits:          no family\n");
    std::vector<bool> shown(tries.size(), false);
    for (size_t i = 0; i < tries.size(); ++i) {
        if (shown[i])
            continue;
        std::string names;
        for (size_t k = i; k < tries.size(); ++k) {
            if (!shown[k] && samePositions(*tries[k].layout, *tries[i].layout)) {
                names += (names.empty() ? "" : ", ") + std::string(tries[k].chip->name);
                shown[k] = true;
            }
        }
        const std::string reason = tries[i].errors.empty()
                                       ? formatText("load returns %d", tries[i].result)
                                       : tries[i].errors.front();
        out.line("    %s (layout %s): %s\n", names.c_str(), layoutName(*tries[i].layout),
                 reason.c_str());
    }
    out.line(
        "Result:        would NOT load as any family (--chip CHIP shows the fields as that "
        "family reads them)\n");
    return kExitFailure;
}

// A file that cannot be read still gets the whole object: what only the
// file could tell is null, the family keys say what each loader made of it.
int printUnreadableImageJson(nlohmann::json& j, const std::string& path, const std::string& error,
                             const std::optional<uint64_t>& size,
                             const std::vector<FamilyTry>& tries, const ChipFamily* chip) {
    j["file"] = path;
    jsonFamilies(j, tries, chip);
    j["chip"] = nullptr;
    j["imageClass"] = nullptr;
    j["layout"] = nullptr;
    if (chip != nullptr) {
        const FwImageLayout& layout = *fwImageLayout(chip->type);
        j["chip"] = chip->name;
        j["imageClass"] = layout.className;
        j["layout"] = layoutName(layout);
    }
    for (const char* key : {"header", "pid", "vid", "subFirmwareCount"})
        j[key] = nullptr;
    j["subFirmwares"] = nlohmann::json::array();
    const ChipFamily& loader = chip != nullptr ? *chip : *tries.front().chip;
    return printUnreadableJson(j, error, size, "size", [&loader, &path] {
        return createFwImage(loader.type)->load(path.c_str());
    });
}

}  // namespace

int printImageInfo(const ChipFamily* chip, const std::string& path, bool json) {
    // The file is read once: every family's image class checks these bytes
    // in turn and hands them back, and the report reads them in the end.
    Bytes bytes;
    std::string error;
    std::optional<uint64_t> size;
    const bool readable = readWholeFile(path, kFwImageMaxBytes, bytes, error, &size);
    if (!readable && !json)
        throw inputError(error);
    const std::vector<FamilyTry> tries =
        readable ? tryEveryFamily([&bytes](FwImage& image) {
            const int32_t result = image.loadContents(bytes);
            if (result == 0) {
                bytes.swap(image.fwData);
                image.releaseData();
            }
            return result;
        })
                 : tryEveryFamily([&path](FwImage& image) { return image.load(path.c_str()); });
    const FamilyTry* chosen = chip != nullptr ? &tryOf(tries, *chip) : likeliestFamily(tries);
    nlohmann::json j;
    Report out(json);
    if (!readable)
        return printUnreadableImageJson(j, path, error, size, tries, chip);
    reportFile(out, j, path, bytes);
    jsonFamilies(j, tries, chip);
    if (chosen == nullptr)
        return reportNoFamilyFits(out, j, json, tries);

    // A chip asked for that does not fit while another family does: its
    // field values would be noise, so the text report names the family instead.
    const FamilyTry* instead = chosen->loads() ? nullptr : likeliestFamily(tries);
    // Read the fields with the image class itself, on the raw bytes: its
    // accessors stay inside the data whatever the file says.
    auto image = createFwImage(chosen->chip->type);
    image->fwData.swap(bytes);
    image->fwSize = static_cast<uint32_t>(image->fwData.size());
    image->isLoaded = true;
    ImageReport r{*chosen->chip, path, image->fwData, *chosen->layout, Report(json), j};
    reportChip(r);
    if (chip == nullptr || !chosen->loads())
        r.out.line("Fits:          %s\n", fitsText(tries, chip).c_str());
    if (instead != nullptr)
        r.out = Report(true);
    reportHeader(r);
    logLevel = 0;
    reportPidAndVid(r, *image);
    reportSubFirmwares(r, *image);
    return reportLoad(r, json, *chosen, instead);
}

int commandInfo(Args& args) {
    std::string file;
    bool json = false;
    const ChipFamily* chip = optionalChipAndFile(args, "info", file, json);
    return printImageInfo(chip, file, json);
}

}  // namespace imagetool
