// touchfw-frames: statistics, heatmaps and CSV of a touch-data capture as
// `touchfw --rawdata/--diffdata/--basedata` prints it (hexadecimal or
// decimal), read from a file or standard input.
//
//   touchfw --chip fjordK --rawdata --diffdata --row 52 --col 66 -t 20 > cap.txt
//   touchfw-frames --png cap --frame 20 cap.txt
//
// Standard output carries the statistics (and the --term heatmaps); the names
// of the files written go to standard error.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/frames/Capture.h"
#include "tools/frames/Heatmap.h"

namespace {

constexpr int kBadInput = 1;
constexpr int kBadUsage = 2;
// A dump of the largest panel over thousands of frames stays far below this.
constexpr std::streamsize kMaxInputBytes = 512LL * 1024 * 1024;

void usage() {
    std::fprintf(stderr,
                 "Usage: touchfw-frames [options] [FILE]\n"
                 "Reads a touchfw --rawdata/--diffdata/--basedata capture from FILE (or\n"
                 "standard input when FILE is missing or -) and prints per block and frame\n"
                 "min, max and mean, per-node noise of raw and diff data over all frames,\n"
                 "and the noisiest rows and columns.\n"
                 "Options:\n"
                 "  --frame N      frame for the heatmaps: its No. number (default: the last)\n"
                 "  --png PREFIX   write PREFIX-<block>.png for the frame and\n"
                 "                 PREFIX-<block>-noise.png (max-min per node) for raw/diff\n"
                 "  --cell PIXELS  cell size of the PNG heatmaps (default %d, at most %d)\n"
                 "  --term         draw the same heatmaps on the terminal (256 colours)\n"
                 "  --csv FILE     write every sample and the noise grids as CSV\n",
                 frames::kDefaultCell, frames::kMaxCell);
}

bool readAll(std::istream& in, std::string* text) {
    std::ostringstream buffer;
    char chunk[65536];
    std::streamsize total = 0;
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        total += in.gcount();
        if (total > kMaxInputBytes)
            return false;
        buffer.write(chunk, in.gcount());
    }
    *text = buffer.str();
    return true;
}

bool parsePositive(const char* text, int max, int* value) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 1 || v > max)
        return false;
    *value = static_cast<int>(v);
    return true;
}

struct Settings {
    int frameNumber = -1;
    int cell = frames::kDefaultCell;
    std::string pngPrefix;
    std::string csvPath;
    std::string inputPath = "-";
    bool term = false;
};

// 0, or kBadUsage after the message for a bad command line.
int parseSettings(int argc, char** argv, Settings* settings) {
    bool haveInput = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--frame" && hasValue) {
            if (!parsePositive(argv[++i], 100000000, &settings->frameNumber)) {
                std::fprintf(stderr, "touchfw-frames: bad frame number \"%s\"\n", argv[i]);
                return kBadUsage;
            }
        } else if (arg == "--cell" && hasValue) {
            if (!parsePositive(argv[++i], frames::kMaxCell, &settings->cell)) {
                std::fprintf(stderr, "touchfw-frames: bad cell size \"%s\"\n", argv[i]);
                return kBadUsage;
            }
        } else if (arg == "--png" && hasValue) {
            settings->pngPrefix = argv[++i];
        } else if (arg == "--csv" && hasValue) {
            settings->csvPath = argv[++i];
        } else if (arg == "--term") {
            settings->term = true;
        } else if ((arg == "-" || arg[0] != '-') && !haveInput) {
            settings->inputPath = arg;
            haveInput = true;
        } else {
            usage();
            return kBadUsage;
        }
    }
    return 0;
}

// 0, or kBadInput after the message when the input cannot be read or parsed.
int readCapture(const std::string& inputPath, frames::Capture* capture) {
    std::string text;
    bool readOk = false;
    if (inputPath == "-") {
        readOk = readAll(std::cin, &text);
    } else {
        std::ifstream in(inputPath, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "touchfw-frames: cannot read %s\n", inputPath.c_str());
            return kBadInput;
        }
        readOk = readAll(in, &text);
    }
    if (!readOk) {
        std::fprintf(stderr, "touchfw-frames: %s is too large for a capture\n", inputPath.c_str());
        return kBadInput;
    }
    std::string error;
    if (!frames::parseCapture(text, capture, &error)) {
        std::fprintf(stderr, "touchfw-frames: %s: %s\n", inputPath.c_str(), error.c_str());
        return kBadInput;
    }
    return 0;
}

// The frame numbered `frameNumber`, the last one when it is not positive;
// nullptr when the capture has no such frame.
const frames::Frame* chooseFrame(const frames::Capture& capture, int frameNumber) {
    if (frameNumber <= 0)
        return &capture.frames.back();
    const frames::Frame* chosen = nullptr;
    for (const frames::Frame& f : capture.frames) {
        if (f.number == frameNumber)
            chosen = &f;
    }
    return chosen;
}

struct Map {
    std::string name;
    std::string title;
    frames::Grid grid;
};

// The heatmaps: each block of the chosen frame, then the noise of raw and diff data.
std::vector<Map> heatmaps(const frames::Capture& capture, const frames::Frame& chosen) {
    std::vector<Map> maps;
    for (int b = 0; b < frames::kBlockCount; ++b) {
        if (!chosen.has[b])
            continue;
        const std::string name = frames::blockName(static_cast<frames::Block>(b));
        maps.push_back({name, name + " frame " + std::to_string(chosen.number), chosen.blocks[b]});
    }
    for (frames::Block block : {frames::Block::raw, frames::Block::diff}) {
        if (!capture.hasBlock(block))
            continue;
        const frames::Noise noise = frames::nodeNoise(capture, block);
        const std::string name = frames::blockName(block);
        maps.push_back({name + "-noise",
                        name + " noise max-min (" + std::to_string(noise.frames) + " frames)",
                        noise.peakToPeak});
    }
    return maps;
}

// Draws and writes the heatmaps; 0, or kBadInput when a PNG file failed.
int writeHeatmaps(const std::vector<Map>& maps, const Settings& settings) {
    int status = 0;
    for (const Map& map : maps) {
        if (settings.term)
            std::fputs(frames::terminalHeatmap(map.grid, map.title).c_str(), stdout);
        if (settings.pngPrefix.empty())
            continue;
        const std::string path = settings.pngPrefix + "-" + map.name + ".png";
        std::string error;
        if (!frames::writeHeatmapPng(path, map.grid, settings.cell, map.title, &error)) {
            std::fprintf(stderr, "touchfw-frames: %s\n", error.c_str());
            status = kBadInput;
        } else {
            std::fprintf(stderr, "wrote %s\n", path.c_str());
        }
    }
    return status;
}

// 0, or kBadInput when the CSV file could not be written.
int writeCsv(const frames::Capture& capture, const std::string& csvPath) {
    std::ofstream out(csvPath, std::ios::binary | std::ios::trunc);
    out << frames::csvText(capture);
    out.close();
    if (!out) {
        std::fprintf(stderr, "touchfw-frames: cannot write %s\n", csvPath.c_str());
        return kBadInput;
    }
    std::fprintf(stderr, "wrote %s\n", csvPath.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    if (const int status = parseSettings(argc, argv, &settings))
        return status;
    frames::Capture capture;
    if (const int status = readCapture(settings.inputPath, &capture))
        return status;
    const frames::Frame* chosen = chooseFrame(capture, settings.frameNumber);
    if (chosen == nullptr) {
        std::fprintf(stderr, "touchfw-frames: the capture has no frame No.%d\n",
                     settings.frameNumber);
        return kBadInput;
    }

    std::fputs(frames::statisticsText(capture).c_str(), stdout);
    int status = writeHeatmaps(heatmaps(capture, *chosen), settings);
    if (!settings.csvPath.empty() && writeCsv(capture, settings.csvPath) != 0)
        status = kBadInput;
    std::fflush(stdout);
    return status;
}
