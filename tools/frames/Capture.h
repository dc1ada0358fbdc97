// touchfw-frames: a touch-data capture as `touchfw --rawdata/--diffdata/
// --basedata` prints it, read back, and its statistics.
//
// The dump is "No.<n>" per frame, then per block a heading line
// ("rawdata:", "diffdata:", "basedata:"), one line per row of samples, each
// sample followed by a comma (decimal "%5d," or hexadecimal "0x%04X,", a
// negative sample in hexadecimal as eight digits), and the closing line
// ("rawdata end"). Lines that are not part of a block are skipped (console
// messages of the run, a "read rawdata failed." that runs into a heading).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace frames {

enum class Block { raw = 0, diff = 1, base = 2 };
constexpr int kBlockCount = 3;
const char* blockName(Block block);  // "rawdata", "diffdata", "basedata"

// One block of one frame: rows x cols samples, row-major.
struct Grid {
    int rows = 0;
    int cols = 0;
    std::vector<double> values;
    double at(int row, int col) const { return values[static_cast<size_t>(row) * cols + col]; }
};

struct Frame {
    int number = 0;                       // the dump's "No." number
    std::array<bool, kBlockCount> has{};  // which blocks the frame carries
    std::array<Grid, kBlockCount> blocks;
};

struct Capture {
    std::vector<Frame> frames;
    int rows = 0;
    int cols = 0;
    bool hasBlock(Block block) const;
};

// Parses a dump. False with a message (naming the line) when a block is
// ragged, a sample is not a number, a block does not close, or the frames
// disagree on the geometry; also when no block is found at all.
bool parseCapture(const std::string& text, Capture* capture, std::string* error);

struct Summary {
    double min = 0;
    double max = 0;
    double mean = 0;
};
Summary summarize(const Grid& grid);

// Per-node noise of one block over all frames that carry it.
struct Noise {
    int frames = 0;
    Grid peakToPeak;  // max - min
    Grid stdDev;      // population standard deviation
};
Noise nodeNoise(const Capture& capture, Block block);

// Rows (or columns) ordered by the mean of `grid` over the line, largest
// first; at most `count` of them, as (index, mean) pairs.
std::vector<std::pair<int, double>> worstRows(const Grid& grid, int count);
std::vector<std::pair<int, double>> worstColumns(const Grid& grid, int count);

// A value as the reports and scales print it: whole numbers without a
// fraction, others with `decimals` digits after the point.
std::string formatValue(double v, int decimals);

// The statistics report touchfw-frames prints.
std::string statisticsText(const Capture& capture);

// "frame,block,row,col,value" lines: every sample, then the noise grids
// (frame "noise", block "rawdata-p2p", "rawdata-stddev", ...).
std::string csvText(const Capture& capture);

}  // namespace frames
