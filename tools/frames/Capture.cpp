#include "tools/frames/Capture.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <sstream>

#include "log/Log.h"
#include "sys/Bytes.h"

namespace frames {

namespace {

// Larger than any panel: a dump claiming more is damaged, not a frame.
constexpr int kMaxLines = 4096;
// Samples of one block, far more than any panel has (touchfw reads a few
// thousand at most); this bounds what a frame can make the tool hold.
constexpr size_t kMaxBlockSamples = 1u << 20;
// Of a line that is not a row of samples, only its end tells what it is (a
// heading, a "No." line, a closing line); this much of it is kept.
constexpr size_t kLineKept = 256;
// A sample is at most a sign and ten digits, or "0x" and eight digits; the
// text of a longer one is kept to this length for the message.
constexpr size_t kSampleKept = 24;
// Bytes read from the stream at a time.
constexpr size_t kReadChunk = 64 * 1024;

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// One sample token without surrounding blanks: "123", "-5", "0x04D2",
// "0xFFFFFFFE" (the tool widens the signed 16-bit sample to 32 bits before
// printing it in hexadecimal).
bool parseSample(const std::string& token, double* value) {
    if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
        uint64_t bits = 0;
        if (!parseDigits(token.substr(2), 16, 8, &bits))
            return false;
        *value = static_cast<double>(static_cast<int32_t>(static_cast<uint32_t>(bits)));
        return true;
    }
    const size_t first = (token[0] == '-' || token[0] == '+') ? 1 : 0;
    uint64_t number = 0;
    if (!parseDigits(token.substr(first), 10, 10, &number))
        return false;
    const double magnitude = static_cast<double>(number);
    *value = token[0] == '-' ? -magnitude : magnitude;
    return true;
}

// The frame number of a "No.<n>" line (which may follow other console text).
bool frameNumber(const std::string& line, int* number) {
    const size_t at = line.rfind("No.");
    if (at == std::string::npos || at + 3 >= line.size())
        return false;
    int n = 0;
    for (size_t i = at + 3; i < line.size(); ++i) {
        if (!isDigit(line[i]) || n > 100000000)
            return false;
        n = n * 10 + (line[i] - '0');
    }
    *number = n;
    return true;
}

// The state of readCapture between bytes: the line being read (its kept
// text, or the sample being read in a row), the frame and the block.
class CaptureParser {
  public:
    CaptureParser(const std::function<void(Frame&)>& onFrame, std::string* error)
        : onFrame_(onFrame), error_(error) {}

    bool feed(const char* data, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (!byte(data[i]))
                return false;
        }
        return true;
    }

    bool finish() {
        size_t lastLine = line_ - 1;
        if (column_ > 0) {
            if (!endLine())
                return false;
            lastLine = line_ - 1;
        }
        if (block_ >= 0) {
            return fail(lastLine, std::string(blockName(static_cast<Block>(block_))) +
                                      " block without its end line");
        }
        if (frameOpen_)
            closeFrame();
        if (!anyFrame_) {
            if (error_)
                *error_ = "no rawdata, diffdata or basedata block found";
            return false;
        }
        return true;
    }

  private:
    bool fail(size_t line, const std::string& what) {
        if (error_)
            *error_ = "line " + std::to_string(line) + ": " + what;
        return false;
    }

    bool failAt(size_t column, const std::string& what) {
        if (error_)
            *error_ = "line " + std::to_string(line_) + ", column " + std::to_string(column) +
                      ": " + what;
        return false;
    }

    bool byte(char c) {
        if (c == '\n')
            return endLine();
        ++column_;
        if (column_ == 1)
            rowLine_ = block_ >= 0 && !((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
        return rowLine_ ? rowByte(c) : textByte(c);
    }

    // A line of text: its end is kept (in a block: its start, which must
    // be the closing line), trailing blanks dropped as the line ends.
    bool textByte(char c) {
        if (textCut_)
            return true;  // too long for a closing line already
        if (c == ' ' || c == '\r') {
            if (blanks_.size() < kLineKept)
                blanks_ += c;
            return true;
        }
        text_ += blanks_;
        blanks_.clear();
        text_ += c;
        if (text_.size() > 2 * kLineKept) {
            if (block_ >= 0) {
                text_.resize(kLineKept);
                textCut_ = true;
            } else {
                text_.erase(0, text_.size() - kLineKept);
            }
        }
        return true;
    }

    // A row of samples, each followed by a comma.
    bool rowByte(char c) {
        if (c == ',')
            return endSample(column_);
        if (isBlank(c)) {
            if (!sample_.empty())
                sampleEnded_ = true;
            else
                return true;
        } else if (sample_.empty()) {
            sampleColumn_ = column_;
        } else if (sampleEnded_) {
            sampleBroken_ = true;  // "0x 2": a blank inside a sample
        }
        if (sample_.size() < kSampleKept)
            sample_ += c;
        else
            sampleBroken_ = true;
        return true;
    }

    // The sample before the comma at `commaColumn` (or the line end).
    bool endSample(size_t commaColumn) {
        if (sample_.empty()) {
            if (commaColumn == 0)
                return true;  // the blanks after the last comma of a row
            return failAt(commaColumn, "an empty sample");
        }
        while (!sample_.empty() && isBlank(sample_.back()))
            sample_.pop_back();
        double value = 0;
        if (sampleBroken_ || !parseSample(sample_, &value))
            return failAt(sampleColumn_, "\"" + logSafeText(sample_) + "\" is not a sample");
        sample_.clear();
        sampleEnded_ = false;
        // A row longer than the first is refused before it is held.
        if (++rowSamples_ > static_cast<size_t>(grid_.cols) && grid_.rows > 0)
            return fail(line_, "a row of another length than the first");
        if (grid_.values.size() >= kMaxBlockSamples) {
            return failAt(sampleColumn_, "more than " + std::to_string(kMaxBlockSamples) +
                                             " samples in a block, larger than any panel");
        }
        grid_.values.push_back(value);
        return true;
    }

    bool endLine() {
        // In a block, an empty line is a row without samples.
        const bool ok = rowLine_ || (block_ >= 0 && column_ == 0) ? endRow() : endText();
        ++line_;
        column_ = 0;
        rowLine_ = false;
        text_.clear();
        blanks_.clear();
        textCut_ = false;
        return ok;
    }

    bool endRow() {
        if (!endSample(0))
            return false;
        if (rowSamples_ == 0)
            return fail(line_, "a block line without samples");
        if (grid_.rows == 0) {
            grid_.cols = static_cast<int>(rowSamples_);
        } else if (rowSamples_ != static_cast<size_t>(grid_.cols)) {
            return fail(line_, "a row of another length than the first");
        }
        rowSamples_ = 0;
        if (++grid_.rows > kMaxLines)
            return fail(line_, "too many rows");
        return true;
    }

    bool endText() {
        if (block_ < 0) {
            outsideBlock(text_);
            return true;
        }
        const std::string closing = std::string(blockName(static_cast<Block>(block_))) + " end";
        if (!textCut_ && text_ == closing)
            return endBlock();
        const std::string shown = text_.size() > 40 ? text_.substr(0, 40) + "..." : text_;
        return failAt(1, "\"" + logSafeText(shown) + "\" is not a sample");
    }

    void closeFrame() {
        bool any = false;
        for (bool has : frame_.has)
            any = any || has;
        if (any) {
            anyFrame_ = true;
            ++framesRead_;
            onFrame_(frame_);
        }
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
                    frame_.number = static_cast<int>(framesRead_) + 1;
                    frameOpen_ = true;
                }
                block_ = b;
                return;
            }
        }
    }

    bool endBlock() {
        if (grid_.rows == 0)
            return fail(line_, "empty block");
        if (rows_ == 0) {
            rows_ = grid_.rows;
            cols_ = grid_.cols;
        } else if (rows_ != grid_.rows || cols_ != grid_.cols) {
            return fail(line_, "a block of another size than the first");
        }
        frame_.has[block_] = true;
        frame_.blocks[block_] = std::move(grid_);
        grid_ = Grid();
        block_ = -1;
        return true;
    }

    const std::function<void(Frame&)>& onFrame_;
    std::string* error_;
    size_t line_ = 1;    // the line being read, from 1
    size_t column_ = 0;  // bytes of it read so far
    bool rowLine_ = false;
    std::string text_;    // a text line as kept
    std::string blanks_;  // blanks not yet known to be trailing
    bool textCut_ = false;
    std::string sample_;  // the sample being read
    size_t sampleColumn_ = 0;
    bool sampleEnded_ = false;  // a blank followed it
    bool sampleBroken_ = false;
    size_t rowSamples_ = 0;
    Frame frame_;
    bool frameOpen_ = false;
    bool anyFrame_ = false;
    size_t framesRead_ = 0;
    int block_ = -1;  // the block being read, -1 outside
    Grid grid_;
    int rows_ = 0;
    int cols_ = 0;
};

}  // namespace

const char* blockName(Block block) {
    static const char* const kNames[kBlockCount] = {"rawdata", "diffdata", "basedata"};
    const int index = static_cast<int>(block);
    return index >= 0 && index < kBlockCount ? kNames[index] : "?";
}

bool readCapture(std::istream& in, const std::function<void(Frame&)>& onFrame, std::string* error,
                 uint64_t maxBytes) {
    CaptureParser parser(onFrame, error);
    std::vector<char> chunk(kReadChunk);
    errno = 0;  // what a failed read leaves here says why
    uint64_t total = 0;
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
        total += static_cast<uint64_t>(in.gcount());
        if (total > maxBytes) {
            if (error)
                *error =
                    "more than " + std::to_string(maxBytes) + " bytes, too large for a capture";
            return false;
        }
        if (!parser.feed(chunk.data(), static_cast<size_t>(in.gcount())))
            return false;
    }
    if (in.bad()) {
        if (error)
            *error = errno != 0 ? std::string("read error: ") + std::strerror(errno) : "read error";
        return false;
    }
    return parser.finish();
}

Summary summarize(const Grid& grid) {
    Summary s;
    if (grid.values.empty())
        return s;
    s.min = *std::min_element(grid.values.begin(), grid.values.end());
    s.max = *std::max_element(grid.values.begin(), grid.values.end());
    const double sum = std::accumulate(grid.values.begin(), grid.values.end(), 0.0);
    s.mean = sum / static_cast<double>(grid.values.size());
    return s;
}

void CaptureSummary::add(const Frame& frame) {
    ++frames_;
    for (int b = 0; b < kBlockCount; ++b) {
        if (!frame.has[b])
            continue;
        const Grid& g = frame.blocks[b];
        rows_ = g.rows;
        cols_ = g.cols;
        has_[b] = true;
        lines_.push_back({frame.number, static_cast<Block>(b), summarize(g)});
        if (b >= static_cast<int>(sums_.size()))
            continue;
        Sums& s = sums_[b];
        Noise& noise = noise_[b];
        const size_t nodes = g.values.size();
        if (noise.frames == 0) {
            s.lo.assign(g.values.begin(), g.values.end());
            s.hi.assign(g.values.begin(), g.values.end());
            s.sum.assign(nodes, 0);
            s.sumSq.assign(nodes, 0);
        }
        for (size_t i = 0; i < nodes; ++i) {
            const double v = g.values[i];
            s.lo[i] = std::min(s.lo[i], v);
            s.hi[i] = std::max(s.hi[i], v);
            s.sum[i] += v;
            s.sumSq[i] += v * v;
        }
        ++noise.frames;
    }
}

void CaptureSummary::finish() {
    for (size_t b = 0; b < sums_.size(); ++b) {
        Sums& s = sums_[b];
        Noise& noise = noise_[b];
        const size_t nodes = s.sum.size();
        const double n = noise.frames;
        // In place: the maximum becomes the spread, the sum the mean, the
        // sum of squares the standard deviation.
        for (size_t i = 0; i < nodes; ++i) {
            s.hi[i] -= s.lo[i];
            const double mean = s.sum[i] / n;
            s.sum[i] = mean;
            s.sumSq[i] = std::sqrt(std::max(0.0, s.sumSq[i] / n - mean * mean));
        }
        for (Grid* grid : {&noise.peakToPeak, &noise.stdDev, &noise.mean}) {
            grid->rows = nodes > 0 ? rows_ : 0;
            grid->cols = nodes > 0 ? cols_ : 0;
        }
        noise.peakToPeak.values = std::move(s.hi);
        noise.stdDev.values = std::move(s.sumSq);
        noise.mean.values = std::move(s.sum);
        s = Sums();
    }
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

// The median of the values (the upper one of an even count).
double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

Node nodeAt(const Grid& grid, size_t index, double value) {
    return {static_cast<int>(index / static_cast<size_t>(grid.cols)),
            static_cast<int>(index % static_cast<size_t>(grid.cols)), value};
}

// "r,c (value)" for each node, at most `shown` of them, then how many more.
std::string nodeList(const std::vector<Node>& nodes, size_t shown) {
    if (nodes.empty())
        return " none";
    std::string text;
    for (size_t i = 0; i < nodes.size() && i < shown; ++i) {
        text += " " + std::to_string(nodes[i].row) + "," + std::to_string(nodes[i].col) + " (" +
                formatValue(nodes[i].value, 2) + ")";
    }
    if (nodes.size() > shown)
        text += " and " + std::to_string(nodes.size() - shown) + " more";
    return text;
}

}  // namespace

std::vector<Node> noisiestNodes(const Noise& noise, int count) {
    const Grid& p2p = noise.peakToPeak;
    std::vector<size_t> order(p2p.values.size());
    std::iota(order.begin(), order.end(), size_t{0});
    const size_t kept = std::min(order.size(), static_cast<size_t>(std::max(0, count)));
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(kept), order.end(),
                      [&p2p](size_t a, size_t b) {
                          return p2p.values[a] != p2p.values[b] ? p2p.values[a] > p2p.values[b]
                                                                : a < b;
                      });
    std::vector<Node> nodes;
    for (size_t i = 0; i < kept; ++i)
        nodes.push_back(nodeAt(p2p, order[i], p2p.values[order[i]]));
    return nodes;
}

std::vector<Node> deadNodes(const Noise& noise) {
    const Grid& mean = noise.mean;
    const double typical = median(mean.values);
    std::vector<Node> nodes;
    if (typical <= 0)
        return nodes;
    for (size_t i = 0; i < mean.values.size(); ++i) {
        if (mean.values[i] < typical / 4)
            nodes.push_back(nodeAt(mean, i, mean.values[i]));
    }
    return nodes;
}

std::vector<Node> stuckNodes(const Noise& noise, const std::vector<Node>& dead) {
    const Grid& p2p = noise.peakToPeak;
    std::vector<Node> nodes;
    if (noise.frames < 2 || median(p2p.values) <= 0)
        return nodes;
    size_t nextDead = 0;
    for (size_t i = 0; i < p2p.values.size(); ++i) {
        const Node node = nodeAt(p2p, i, noise.mean.values[i]);
        // Both lists run in row-major order.
        if (nextDead < dead.size() && dead[nextDead].row == node.row &&
            dead[nextDead].col == node.col) {
            ++nextDead;
            continue;
        }
        if (p2p.values[i] == 0)
            nodes.push_back(node);
    }
    return nodes;
}

std::vector<std::pair<int, double>> worstRows(const Grid& grid, int count) {
    return worstLines(grid, count, true);
}

std::vector<std::pair<int, double>> worstColumns(const Grid& grid, int count) {
    return worstLines(grid, count, false);
}

std::string CaptureSummary::statisticsText() const {
    constexpr int kWorstShown = 3;
    std::ostringstream out;
    out << frames_ << " frame" << (frames_ == 1 ? "" : "s") << " of " << rows_ << " rows x "
        << cols_ << " columns\n";
    for (const BlockLine& line : lines_) {
        out << "frame " << line.frame << " " << blockName(line.block) << ": min "
            << number(line.summary.min) << " max " << number(line.summary.max) << " mean "
            << number(line.summary.mean) << "\n";
    }
    for (Block block : {Block::raw, Block::diff}) {
        if (!hasBlock(block))
            continue;
        const Noise& n = noise(block);
        const Summary p2p = summarize(n.peakToPeak);
        const Summary sd = summarize(n.stdDev);
        out << blockName(block) << " noise over " << n.frames << " frames: max-min per node"
            << " max " << number(p2p.max) << " mean " << number(p2p.mean) << ", std dev per node"
            << " max " << number(sd.max) << " mean " << number(sd.mean) << "\n";
        out << blockName(block) << " worst rows (mean max-min):";
        for (const auto& r : worstRows(n.peakToPeak, kWorstShown))
            out << " " << r.first << " (" << number(r.second) << ")";
        out << "\n" << blockName(block) << " worst columns (mean max-min):";
        for (const auto& c : worstColumns(n.peakToPeak, kWorstShown))
            out << " " << c.first << " (" << number(c.second) << ")";
        out << "\n";
    }
    // Where the problem nodes are, by row and column.
    constexpr size_t kNodesShown = 8;
    for (Block block : {Block::raw, Block::diff}) {
        if (!hasBlock(block))
            continue;
        const Noise& n = noise(block);
        const std::vector<Node> dead = block == Block::raw ? deadNodes(n) : std::vector<Node>();
        out << blockName(block) << " noisiest nodes (row,col (max-min)):"
            << nodeList(noisiestNodes(n, kWorstShown), kNodesShown) << "\n";
        if (block == Block::raw) {
            out << blockName(block)
                << " dead nodes (row,col (mean), below a quarter of the median node):"
                << nodeList(dead, kNodesShown) << "\n";
        }
        out << blockName(block) << " stuck nodes (row,col (value), no change over " << n.frames
            << " frames):" << nodeList(stuckNodes(n, dead), kNodesShown) << "\n";
    }
    return out.str();
}

namespace {

void writeCsvGrid(std::ostream& out, const std::string& frame, const std::string& name,
                  const Grid& g) {
    for (int r = 0; r < g.rows; ++r) {
        for (int c = 0; c < g.cols; ++c)
            out << frame << ',' << name << ',' << r << ',' << c << ',' << number(g.at(r, c))
                << '\n';
    }
}

}  // namespace

void writeCsvHeader(std::ostream& out) {
    out << "frame,block,row,col,value\n";
}

void writeCsvFrame(std::ostream& out, const Frame& frame) {
    for (int b = 0; b < kBlockCount; ++b) {
        if (frame.has[b])
            writeCsvGrid(out, std::to_string(frame.number), blockName(static_cast<Block>(b)),
                         frame.blocks[b]);
    }
}

void writeCsvNoise(std::ostream& out, const CaptureSummary& summary) {
    for (Block block : {Block::raw, Block::diff}) {
        if (!summary.hasBlock(block))
            continue;
        const Noise& noise = summary.noise(block);
        writeCsvGrid(out, "noise", std::string(blockName(block)) + "-p2p", noise.peakToPeak);
        writeCsvGrid(out, "noise", std::string(blockName(block)) + "-stddev", noise.stdDev);
    }
}

}  // namespace frames
