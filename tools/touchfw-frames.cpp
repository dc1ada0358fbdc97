// touchfw-frames: statistics, heatmaps and CSV of a touch-data capture as
// `touchfw --rawdata/--diffdata/--basedata` prints it (hexadecimal or
// decimal), read from a file or standard input.
//
//   touchfw --chip fjordK --rawdata --diffdata --row 52 --col 75 -t 20 > cap.txt
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

}  // namespace

int main(int argc, char** argv) {
    int frameNumber = -1;
    int cell = frames::kDefaultCell;
    std::string pngPrefix;
    std::string csvPath;
    std::string inputPath = "-";
    bool term = false;
    bool haveInput = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--frame" && hasValue) {
            if (!parsePositive(argv[++i], 100000000, &frameNumber)) {
                std::fprintf(stderr, "touchfw-frames: bad frame number \"%s\"\n", argv[i]);
                return kBadUsage;
            }
        } else if (arg == "--cell" && hasValue) {
            if (!parsePositive(argv[++i], frames::kMaxCell, &cell)) {
                std::fprintf(stderr, "touchfw-frames: bad cell size \"%s\"\n", argv[i]);
                return kBadUsage;
            }
        } else if (arg == "--png" && hasValue) {
            pngPrefix = argv[++i];
        } else if (arg == "--csv" && hasValue) {
            csvPath = argv[++i];
        } else if (arg == "--term") {
            term = true;
        } else if ((arg == "-" || arg[0] != '-') && !haveInput) {
            inputPath = arg;
            haveInput = true;
        } else {
            usage();
            return kBadUsage;
        }
    }

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
    frames::Capture capture;
    std::string error;
    if (!frames::parseCapture(text, &capture, &error)) {
        std::fprintf(stderr, "touchfw-frames: %s: %s\n", inputPath.c_str(), error.c_str());
        return kBadInput;
    }

    const frames::Frame* chosen = &capture.frames.back();
    if (frameNumber > 0) {
        chosen = nullptr;
        for (const frames::Frame& f : capture.frames) {
            if (f.number == frameNumber)
                chosen = &f;
        }
        if (chosen == nullptr) {
            std::fprintf(stderr, "touchfw-frames: the capture has no frame No.%d\n", frameNumber);
            return kBadInput;
        }
    }

    std::fputs(frames::statisticsText(capture).c_str(), stdout);

    // The heatmaps: each block of the chosen frame, then the noise of raw and diff data.
    struct Map {
        std::string name;
        std::string title;
        frames::Grid grid;
    };
    std::vector<Map> maps;
    for (int b = 0; b < frames::kBlockCount; ++b) {
        if (!chosen->has[b])
            continue;
        const std::string name = frames::blockName(static_cast<frames::Block>(b));
        maps.push_back(
            {name, name + " frame " + std::to_string(chosen->number), chosen->blocks[b]});
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
    int status = 0;
    for (const Map& map : maps) {
        if (term)
            std::fputs(frames::terminalHeatmap(map.grid, map.title).c_str(), stdout);
        if (!pngPrefix.empty()) {
            const std::string path = pngPrefix + "-" + map.name + ".png";
            if (!frames::writeHeatmapPng(path, map.grid, cell, map.title, &error)) {
                std::fprintf(stderr, "touchfw-frames: %s\n", error.c_str());
                status = kBadInput;
            } else {
                std::fprintf(stderr, "wrote %s\n", path.c_str());
            }
        }
    }
    if (!csvPath.empty()) {
        std::ofstream out(csvPath, std::ios::binary | std::ios::trunc);
        out << frames::csvText(capture);
        out.close();
        if (!out) {
            std::fprintf(stderr, "touchfw-frames: cannot write %s\n", csvPath.c_str());
            status = kBadInput;
        } else {
            std::fprintf(stderr, "wrote %s\n", csvPath.c_str());
        }
    }
    std::fflush(stdout);
    return status;
}
