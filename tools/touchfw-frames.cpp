// touchfw-frames: statistics, heatmaps and CSV of a touch-data capture as
// `touchfw --rawdata/--diffdata/--basedata` prints it (hexadecimal or
// decimal), read from a file or standard input.
//
//   touchfw --chip fjordK --rawdata --diffdata --row 52 --col 66 -t 20 > cap.txt
//   touchfw-frames --png cap --frame 20 cap.txt
//
// Standard output carries the statistics (and the --term heatmaps); the names
// of the files written go to standard error. The capture is read as a
// stream and the CSV written while it is read: the tool holds the frame
// being read, the frame chosen for the heatmaps and per-node sums, whatever
// the number of frames. Every output is written whole or not at all.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include "app/App.h"
#include "log/Log.h"
#include "sys/Files.h"
#include "sys/ProgramGuard.h"
#include "tools/frames/Capture.h"
#include "tools/frames/Heatmap.h"

namespace {

constexpr int kBadInput = 1;
constexpr int kBadUsage = 2;
// A dump of the largest panel over thousands of frames stays far below this.
constexpr uint64_t kMaxInputBytes = 512ULL * 1024 * 1024;

void usage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: touchfw-frames [options] [FILE]\n"
                 "Reads a touchfw --rawdata/--diffdata/--basedata capture from FILE (or\n"
                 "standard input when FILE is missing or -) and prints per block and frame\n"
                 "min, max and mean, per-node noise of raw and diff data over all frames,\n"
                 "the noisiest rows, columns and nodes, and dead and stuck nodes by\n"
                 "row and column.\n"
                 "Options:\n"
                 "  --frame N      frame for the heatmaps: its No. number (default: the last)\n"
                 "  --png PREFIX   write PREFIX-<block>.png for the frame and\n"
                 "                 PREFIX-<block>-noise.png (max-min per node) for raw/diff\n"
                 "  --cell PIXELS  cell size of the PNG heatmaps (default %d, at most %d)\n"
                 "  --term         draw the same heatmaps on the terminal (256 colours),\n"
                 "                 as wide as the terminal ($COLUMNS, else its width, else 80)\n"
                 "  --csv FILE     write every sample and the noise grids as CSV\n"
                 "  -h, --help     show this help and exit\n"
                 "  --version      show the version and exit\n"
                 "Exit status: 0 success, 1 unreadable capture or failed output, 2 command-line\n"
                 "error.\n",
                 frames::kDefaultCell, frames::kMaxCell);
}

// Says what went wrong on standard error; kBadInput.
int failure(const std::string& what) {
    std::fprintf(stderr, "touchfw-frames: %s\n", logSafeText(what).c_str());
    return kBadInput;
}

// Says what is wrong with the command line, then how it is used; kBadUsage.
int badUsage(const std::string& what) {
    failure(what);
    usage(stderr);
    return kBadUsage;
}

// The width --term draws for: $COLUMNS, else the terminal's width, else 80.
int terminalWidth() {
    constexpr int kFallbackWidth = 80;
    if (const char* columns = std::getenv("COLUMNS")) {
        char* end = nullptr;
        const long n = std::strtol(columns, &end, 10);
        if (end != columns && *end == '\0' && n > 0 && n <= 100000)
            return static_cast<int>(n);
    }
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
#else
    struct winsize size {};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
#endif
    return kFallbackWidth;
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
    bool done = false;  // --help or --version answered
};

// 0, or kBadUsage after the message for a bad command line.
int parseSettings(int argc, char** argv, Settings* settings) {
    bool haveInput = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool takesValue =
            arg == "--frame" || arg == "--cell" || arg == "--png" || arg == "--csv";
        if (takesValue && i + 1 >= argc)
            return badUsage("option " + arg + " needs a value");
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            settings->done = true;
            return 0;
        } else if (arg == "--version") {
            std::printf("touchfw-frames %s\n", kAppVersion);
            settings->done = true;
            return 0;
        } else if (arg == "--frame" || arg == "--cell") {
            const bool frame = arg == "--frame";
            if (!parsePositive(argv[++i], frame ? 100000000 : frames::kMaxCell,
                               frame ? &settings->frameNumber : &settings->cell)) {
                std::fprintf(stderr, "touchfw-frames: bad %s \"%s\"\n",
                             frame ? "frame number" : "cell size", logSafeText(argv[i]).c_str());
                return kBadUsage;
            }
        } else if (arg == "--png") {
            settings->pngPrefix = argv[++i];
        } else if (arg == "--csv") {
            settings->csvPath = argv[++i];
        } else if (arg == "--term") {
            settings->term = true;
        } else if (arg != "-" && arg[0] == '-') {
            return badUsage("unknown option \"" + arg + "\"");
        } else if (haveInput) {
            return badUsage("one capture at a time: \"" + settings->inputPath + "\" and \"" + arg +
                            "\" given");
        } else {
            settings->inputPath = arg;
            haveInput = true;
        }
    }
    return 0;
}

struct Map {
    std::string name;
    std::string title;
    const frames::Grid* grid;
};

// The heatmaps: each block of the chosen frame, then the noise of raw and diff data.
std::vector<Map> heatmaps(const frames::CaptureSummary& summary, const frames::Frame& chosen) {
    std::vector<Map> maps;
    for (int b = 0; b < frames::kBlockCount; ++b) {
        if (!chosen.has[b])
            continue;
        const std::string name = frames::blockName(static_cast<frames::Block>(b));
        maps.push_back({name, name + " frame " + std::to_string(chosen.number), &chosen.blocks[b]});
    }
    for (frames::Block block : {frames::Block::raw, frames::Block::diff}) {
        if (!summary.hasBlock(block))
            continue;
        const frames::Noise& noise = summary.noise(block);
        const std::string name = frames::blockName(block);
        maps.push_back({name + "-noise",
                        name + " noise max-min (" + std::to_string(noise.frames) + " frames)",
                        &noise.peakToPeak});
    }
    return maps;
}

// Draws and writes the heatmaps; 0, or kBadInput when a PNG file failed.
int writeHeatmaps(const std::vector<Map>& maps, const Settings& settings) {
    int status = 0;
    const int width = settings.term ? terminalWidth() : 0;
    for (const Map& map : maps) {
        if (settings.term)
            frames::writeTerminalHeatmap(std::cout, *map.grid, map.title, width);
        if (settings.pngPrefix.empty())
            continue;
        const std::string path = settings.pngPrefix + "-" + map.name + ".png";
        std::string error;
        if (!frames::writeHeatmapPng(path, *map.grid, settings.cell, map.title, &error))
            status = failure(error);
        else
            std::fprintf(stderr, "wrote %s\n", logSafeText(path).c_str());
    }
    return status;
}

// The capture as it is read: its statistics, the frame the heatmaps show,
// and (with --csv) the CSV file being written.
struct Reading {
    frames::CaptureSummary summary;
    frames::Frame chosen;
    bool haveChosen = false;
    std::unique_ptr<ReplacementFile> csv;
};

// Reads the capture from `in`; 0, or kBadInput after the message.
int readCapture(const Settings& settings, std::istream& in, Reading* reading) {
    if (!settings.csvPath.empty()) {
        reading->csv = std::make_unique<ReplacementFile>(settings.csvPath);
        if (!reading->csv->open())
            return failure(reading->csv->error());
        frames::writeCsvHeader(reading->csv->stream());
    }
    auto onFrame = [&settings, reading](frames::Frame& frame) {
        reading->summary.add(frame);
        if (reading->csv)
            frames::writeCsvFrame(reading->csv->stream(), frame);
        if (settings.frameNumber <= 0 || frame.number == settings.frameNumber) {
            reading->chosen = std::move(frame);
            reading->haveChosen = true;
        }
    };
    std::string error;
    // The reader's messages are escaped already; escaping them again changes nothing.
    if (!frames::readCapture(in, onFrame, &error, kMaxInputBytes))
        return failure(settings.inputPath + ": " + error);
    return 0;
}

int framesMain(int argc, char** argv) {
    Settings settings;
    if (const int status = parseSettings(argc, argv, &settings))
        return status;
    if (settings.done) {
        std::fflush(stdout);
        return std::ferror(stdout) ? kBadInput : 0;
    }
    std::ifstream file;
    if (settings.inputPath != "-") {
        errno = 0;
        file.open(settings.inputPath, std::ios::binary);
        if (!file) {
            const int why = errno;
            return failure("cannot read " + settings.inputPath + ": " +
                           (why != 0 ? std::strerror(why) : "cannot open it"));
        }
    }
    Reading reading;
    if (const int status = readCapture(settings, file.is_open() ? file : std::cin, &reading))
        return status;
    if (!reading.haveChosen)
        return failure("the capture has no frame No." + std::to_string(settings.frameNumber));
    reading.summary.finish();

    std::fputs(reading.summary.statisticsText().c_str(), stdout);
    int status = writeHeatmaps(heatmaps(reading.summary, reading.chosen), settings);
    if (reading.csv) {
        frames::writeCsvNoise(reading.csv->stream(), reading.summary);
        if (reading.csv->commit())
            std::fprintf(stderr, "wrote %s\n", logSafeText(settings.csvPath).c_str());
        else
            status = failure(reading.csv->error());
    }
    std::fflush(stdout);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    return runGuarded("touchfw-frames", kBadInput, framesMain, argc, argv);
}
