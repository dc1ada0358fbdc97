// touchfw-frames: a touch-data capture as `touchfw --rawdata/--diffdata/
// --basedata` prints it, read back frame by frame, and its statistics.
//
// The dump is "No.<n>" per frame, then per block a heading line
// ("rawdata:", "diffdata:", "basedata:"), one line per row of samples, each
// sample followed by a comma (decimal "%5d," or hexadecimal "0x%04X," or
// "0x%08X," for a negative sample), and the closing line ("rawdata end").
// Lines that are not part of a block are skipped (console messages of the
// run, a "read rawdata failed." that runs into a heading).
//
// A capture is read as a stream: what is held at any time is the frame being
// read and what the caller keeps, never the text or the frames read before.
// Relies on: the log's text escaping (log/Log.h) for the error messages.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <istream>
#include <ostream>
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

// Reads a dump from `in`, handing each frame to `onFrame` as soon as it is
// complete (the handler may move from it). False with a message (naming the
// line, and the column of a sample) when a block is ragged, a sample is not
// a number ("0x-1", "0x 2", an empty one as in "1,,2"), a block does not
// close, or the frames disagree on the geometry; also when no block is
// found at all, or when the stream holds more than `maxBytes`.
bool readCapture(std::istream& in, const std::function<void(Frame&)>& onFrame, std::string* error,
                 uint64_t maxBytes = UINT64_MAX);

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
    Grid mean;        // the node's mean value
};

// A node by its position and the value that singles it out.
struct Node {
    int row = 0;
    int col = 0;
    double value = 0;
};

// The nodes of `noise` with the largest spread (max - min), largest first
// (ties in row-major order); at most `count` of them, valued by the spread.
std::vector<Node> noisiestNodes(const Noise& noise, int count);
// Raw data nodes that read far below the panel: a mean under a quarter of
// the median of the node means (none when that median is not above 0).
// Valued by the mean, in row-major order.
std::vector<Node> deadNodes(const Noise& noise);
// Nodes that never changed over two frames or more while the panel's
// typical (median) node did, leaving out the `dead` ones; valued by their
// reading, in row-major order.
std::vector<Node> stuckNodes(const Noise& noise, const std::vector<Node>& dead);

// What the statistics need of a capture, gathered frame by frame: a summary
// line per block of each frame and per-node sums for the noise of raw and
// difference data (a few numbers per node, however many frames).
class CaptureSummary {
  public:
    void add(const Frame& frame);
    // Turns the sums into the noise grids; call once, after the last frame.
    void finish();

    size_t frames() const { return frames_; }
    int rows() const { return rows_; }
    int cols() const { return cols_; }
    bool hasBlock(Block block) const { return has_[static_cast<int>(block)]; }
    // Valid after finish(), for raw and difference data.
    const Noise& noise(Block block) const { return noise_[static_cast<int>(block)]; }

    // The statistics report touchfw-frames prints (after finish()).
    std::string statisticsText() const;

  private:
    struct BlockLine {
        int frame;
        Block block;
        Summary summary;
    };
    struct Sums {
        std::vector<double> lo, hi, sum, sumSq;
    };

    size_t frames_ = 0;
    int rows_ = 0;
    int cols_ = 0;
    std::array<bool, kBlockCount> has_{};
    std::vector<BlockLine> lines_;
    std::array<Sums, 2> sums_;  // raw, diff
    std::array<Noise, 2> noise_;
};

// Rows (or columns) ordered by the mean of `grid` over the line, largest
// first; at most `count` of them, as (index, mean) pairs.
std::vector<std::pair<int, double>> worstRows(const Grid& grid, int count);
std::vector<std::pair<int, double>> worstColumns(const Grid& grid, int count);

// A value as the reports and scales print it: whole numbers without a
// fraction, others with `decimals` digits after the point.
std::string formatValue(double v, int decimals);

// The CSV touchfw-frames writes, piece by piece as the capture is read: the
// header line, then every sample of each frame ("frame,block,row,col,value"),
// then the noise grids (frame "noise", block "rawdata-p2p",
// "rawdata-stddev", ...).
void writeCsvHeader(std::ostream& out);
void writeCsvFrame(std::ostream& out, const Frame& frame);
void writeCsvNoise(std::ostream& out, const CaptureSummary& summary);

}  // namespace frames
