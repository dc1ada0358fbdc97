#include "tools/frames/Capture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace frames {

namespace {

// Larger than any panel: a dump claiming more is damaged, not a frame.
constexpr int kMaxLines = 4096;

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// One sample token ("  123", "-5", "0x04D2", "0xFFFFFFFE").
bool parseSample(std::string token, double* value) {
    const size_t first = token.find_first_not_of(" \t");
    if (first == std::string::npos)
        return false;
    token = token.substr(first, token.find_last_not_of(" \t") - first + 1);
    char* end = nullptr;
    if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
        if (token.size() > 10)
            return false;
        const unsigned long bits = std::strtoul(token.c_str() + 2, &end, 16);
        if (*end != '\0')
            return false;
        // The tool widens the signed 16-bit sample to 32 bits before printing.
        *value = static_cast<double>(static_cast<int32_t>(static_cast<uint32_t>(bits)));
        return true;
    }
    if (token.size() > 11)
        return false;
    const long number = std::strtol(token.c_str(), &end, 10);
    if (end == token.c_str() || *end != '\0')
        return false;
    *value = static_cast<double>(number);
    return true;
}

bool fail(std::string* error, size_t line, const std::string& what) {
    if (error)
        *error = "line " + std::to_string(line) + ": " + what;
    return false;
}

// The frame number of a "No.<n>" line (which may follow other console text).
bool frameNumber(const std::string& line, int* number) {
    const size_t at = line.rfind("No.");
    if (at == std::string::npos || at + 3 >= line.size())
        return false;
    int n = 0;
    for (size_t i = at + 3; i < line.size(); ++i) {
        if (line[i] < '0' || line[i] > '9' || n > 100000000)
            return false;
        n = n * 10 + (line[i] - '0');
    }
    *number = n;
    return true;
}

}  // namespace

const char* blockName(Block block) {
    switch (block) {
        case Block::raw:
            return "rawdata";
        case Block::diff:
            return "diffdata";
        case Block::base:
            return "basedata";
    }
    return "?";
}

bool Capture::hasBlock(Block block) const {
    for (const Frame& frame : frames) {
        if (frame.has[static_cast<int>(block)])
            return true;
    }
    return false;
}

namespace {

// The state of parseCapture between lines: the frame being read and, inside a
// block, the block and its rows so far.
class CaptureParser {
  public:
    CaptureParser(Capture* capture, std::string* error) : capture_(capture), error_(error) {}

    bool readLine(const std::string& line, size_t lineNumber) {
        if (block_ < 0) {
            outsideBlock(line);
            return true;
        }
        if (line == std::string(blockName(static_cast<Block>(block_))) + " end")
            return endBlock(lineNumber);
        return addRow(line, lineNumber);
    }

    bool finish(size_t lineNumber) {
        if (block_ >= 0)
            return fail(
                error_, lineNumber,
                std::string(blockName(static_cast<Block>(block_))) + " block without its end line");
        if (frameOpen_)
            closeFrame();
        if (capture_->frames.empty()) {
            if (error_)
                *error_ = "no rawdata, diffdata or basedata block found";
            return false;
        }
        return true;
    }

  private:
    void closeFrame() {
        bool any = false;
        for (bool has : frame_.has)
            any = any || has;
        if (any)
            capture_->frames.push_back(frame_);
        frame_ = Frame();
        frameOpen_ = false;
    }

    // A "No.<n>" line opens a frame, a block heading opens a block (and a
    // frame, in a dump without "No." lines); anything else is skipped.
    void outsideBlock(const std::string& line) {
        int number = 0;
        if (frameNumber(line, &number)) {
            if (frameOpen_)
                closeFrame();
            frame_.number = number;
            frameOpen_ = true;
            return;
        }
        for (int b = 0; b < kBlockCount; ++b) {
            if (endsWith(line, std::string(blockName(static_cast<Block>(b))) + ":")) {
                if (!frameOpen_ || frame_.has[b]) {  // a dump without "No." lines
                    if (frameOpen_)
                        closeFrame();
                    frame_.number = static_cast<int>(capture_->frames.size()) + 1;
                    frameOpen_ = true;
                }
                block_ = b;
                return;
            }
        }
    }

    bool endBlock(size_t lineNumber) {
        if (grid_.rows == 0)
            return fail(error_, lineNumber, "empty block");
        if (capture_->rows == 0) {
            capture_->rows = grid_.rows;
            capture_->cols = grid_.cols;
        } else if (capture_->rows != grid_.rows || capture_->cols != grid_.cols) {
            return fail(error_, lineNumber, "a block of another size than the first");
        }
        frame_.has[block_] = true;
        frame_.blocks[block_] = std::move(grid_);
        grid_ = Grid();
        block_ = -1;
        return true;
    }

    bool addRow(const std::string& line, size_t lineNumber) {
        std::vector<double> row;
        std::string token;
        std::istringstream fields(line);
        while (std::getline(fields, token, ',')) {
            if (token.find_first_not_of(" \t") == std::string::npos)
                continue;
            double value = 0;
            if (!parseSample(token, &value))
                return fail(error_, lineNumber, "\"" + token + "\" is not a sample");
            row.push_back(value);
        }
        if (row.empty())
            return fail(error_, lineNumber, "a block line without samples");
        if (grid_.rows == 0) {
            grid_.cols = static_cast<int>(row.size());
        } else if (grid_.cols != static_cast<int>(row.size())) {
            return fail(error_, lineNumber, "a row of another length than the first");
        }
        if (++grid_.rows > kMaxLines)
            return fail(error_, lineNumber, "too many rows");
        grid_.values.insert(grid_.values.end(), row.begin(), row.end());
        return true;
    }

    Capture* capture_;
    std::string* error_;
    Frame frame_;
    bool frameOpen_ = false;
    int block_ = -1;  // the block being read, -1 outside
    Grid grid_;
};

}  // namespace

bool parseCapture(const std::string& text, Capture* capture, std::string* error) {
    *capture = Capture();
    CaptureParser parser(capture, error);
    std::istringstream in(text);
    std::string line;
    size_t lineNumber = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (!parser.readLine(line, lineNumber))
            return false;
    }
    return parser.finish(lineNumber);
}

Summary summarize(const Grid& grid) {
    Summary s;
    if (grid.values.empty())
        return s;
    s.min = *std::min_element(grid.values.begin(), grid.values.end());
    s.max = *std::max_element(grid.values.begin(), grid.values.end());
    double sum = 0;
    for (double v : grid.values)
        sum += v;
    s.mean = sum / static_cast<double>(grid.values.size());
    return s;
}

Noise nodeNoise(const Capture& capture, Block block) {
    Noise noise;
    const size_t nodes = static_cast<size_t>(capture.rows) * capture.cols;
    std::vector<double> lo(nodes, 0), hi(nodes, 0), sum(nodes, 0), sumSq(nodes, 0);
    for (const Frame& frame : capture.frames) {
        if (!frame.has[static_cast<int>(block)])
            continue;
        const Grid& g = frame.blocks[static_cast<int>(block)];
        for (size_t i = 0; i < nodes; ++i) {
            const double v = g.values[i];
            lo[i] = noise.frames == 0 ? v : std::min(lo[i], v);
            hi[i] = noise.frames == 0 ? v : std::max(hi[i], v);
            sum[i] += v;
            sumSq[i] += v * v;
        }
        ++noise.frames;
    }
    noise.peakToPeak.rows = noise.stdDev.rows = capture.rows;
    noise.peakToPeak.cols = noise.stdDev.cols = capture.cols;
    noise.peakToPeak.values.assign(nodes, 0);
    noise.stdDev.values.assign(nodes, 0);
    if (noise.frames == 0)
        return noise;
    const double n = noise.frames;
    for (size_t i = 0; i < nodes; ++i) {
        noise.peakToPeak.values[i] = hi[i] - lo[i];
        const double mean = sum[i] / n;
        noise.stdDev.values[i] = std::sqrt(std::max(0.0, sumSq[i] / n - mean * mean));
    }
    return noise;
}

std::string formatValue(double v, int decimals) {
    char text[32];
    if (v == std::floor(v) && std::fabs(v) < 1e9)
        std::snprintf(text, sizeof text, "%.0f", v);
    else
        std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

namespace {

std::string number(double v) {
    return formatValue(v, 2);
}

std::vector<std::pair<int, double>> worstLines(const Grid& grid, int count, bool byRow) {
    const int lines = byRow ? grid.rows : grid.cols;
    const int length = byRow ? grid.cols : grid.rows;
    std::vector<std::pair<int, double>> out;
    for (int l = 0; l < lines; ++l) {
        double sum = 0;
        for (int k = 0; k < length; ++k)
            sum += byRow ? grid.at(l, k) : grid.at(k, l);
        out.emplace_back(l, length > 0 ? sum / length : 0);
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    if (static_cast<int>(out.size()) > count)
        out.resize(static_cast<size_t>(count));
    return out;
}

}  // namespace

std::vector<std::pair<int, double>> worstRows(const Grid& grid, int count) {
    return worstLines(grid, count, true);
}

std::vector<std::pair<int, double>> worstColumns(const Grid& grid, int count) {
    return worstLines(grid, count, false);
}

std::string statisticsText(const Capture& capture) {
    constexpr int kWorstShown = 3;
    std::ostringstream out;
    out << capture.frames.size() << " frame" << (capture.frames.size() == 1 ? "" : "s") << " of "
        << capture.rows << " rows x " << capture.cols << " columns\n";
    for (const Frame& frame : capture.frames) {
        for (int b = 0; b < kBlockCount; ++b) {
            if (!frame.has[b])
                continue;
            const Summary s = summarize(frame.blocks[b]);
            out << "frame " << frame.number << " " << blockName(static_cast<Block>(b)) << ": min "
                << number(s.min) << " max " << number(s.max) << " mean " << number(s.mean) << "\n";
        }
    }
    for (Block block : {Block::raw, Block::diff}) {
        if (!capture.hasBlock(block))
            continue;
        const Noise noise = nodeNoise(capture, block);
        const Summary p2p = summarize(noise.peakToPeak);
        const Summary sd = summarize(noise.stdDev);
        out << blockName(block) << " noise over " << noise.frames << " frames: max-min per node"
            << " max " << number(p2p.max) << " mean " << number(p2p.mean) << ", std dev per node"
            << " max " << number(sd.max) << " mean " << number(sd.mean) << "\n";
        out << blockName(block) << " worst rows (mean max-min):";
        for (const auto& r : worstRows(noise.peakToPeak, kWorstShown))
            out << " " << r.first << " (" << number(r.second) << ")";
        out << "\n" << blockName(block) << " worst columns (mean max-min):";
        for (const auto& c : worstColumns(noise.peakToPeak, kWorstShown))
            out << " " << c.first << " (" << number(c.second) << ")";
        out << "\n";
    }
    return out.str();
}

std::string csvText(const Capture& capture) {
    std::ostringstream out;
    out << "frame,block,row,col,value\n";
    auto grid = [&out](const std::string& frame, const std::string& name, const Grid& g) {
        for (int r = 0; r < g.rows; ++r) {
            for (int c = 0; c < g.cols; ++c)
                out << frame << ',' << name << ',' << r << ',' << c << ',' << number(g.at(r, c))
                    << '\n';
        }
    };
    for (const Frame& frame : capture.frames) {
        for (int b = 0; b < kBlockCount; ++b) {
            if (frame.has[b])
                grid(std::to_string(frame.number), blockName(static_cast<Block>(b)),
                     frame.blocks[b]);
        }
    }
    for (Block block : {Block::raw, Block::diff}) {
        if (!capture.hasBlock(block))
            continue;
        const Noise noise = nodeNoise(capture, block);
        grid("noise", std::string(blockName(block)) + "-p2p", noise.peakToPeak);
        grid("noise", std::string(blockName(block)) + "-stddev", noise.stdDev);
    }
    return out.str();
}

}  // namespace frames
