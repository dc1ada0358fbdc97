#include "tools/frames/Heatmap.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "sys/Files.h"

namespace frames {

namespace {

// Scale stops from dark purple through blue and green to yellow.
constexpr Rgb kStops[] = {
    {0x44, 0x01, 0x54}, {0x3B, 0x52, 0x8B}, {0x21, 0x91, 0x8C},
    {0x5E, 0xC9, 0x62}, {0xFD, 0xE7, 0x25},
};
constexpr int kStopCount = sizeof kStops / sizeof kStops[0];

// A 3 x 5 pixel font, each glyph five rows of three bits (high bit left).
struct Glyph {
    char c;
    uint8_t rows[5];
};
constexpr Glyph kFont[] = {
    {'0', {7, 5, 5, 5, 7}}, {'1', {2, 6, 2, 2, 7}}, {'2', {7, 1, 7, 4, 7}}, {'3', {7, 1, 7, 1, 7}},
    {'4', {5, 5, 7, 1, 1}}, {'5', {7, 4, 7, 1, 7}}, {'6', {7, 4, 7, 5, 7}}, {'7', {7, 1, 1, 2, 2}},
    {'8', {7, 5, 7, 5, 7}}, {'9', {7, 5, 7, 1, 7}}, {'-', {0, 0, 7, 0, 0}}, {'.', {0, 0, 0, 0, 2}},
    {'a', {0, 6, 3, 5, 7}}, {'b', {4, 6, 5, 5, 6}}, {'d', {1, 3, 5, 5, 3}}, {'e', {0, 7, 7, 4, 7}},
    {'f', {3, 4, 7, 4, 4}}, {'i', {2, 0, 2, 2, 2}}, {'m', {0, 7, 7, 5, 5}}, {'n', {0, 6, 5, 5, 5}},
    {'o', {0, 7, 5, 5, 7}}, {'p', {0, 7, 5, 7, 4}}, {'r', {0, 6, 4, 4, 4}}, {'s', {0, 3, 6, 1, 6}},
    {'t', {2, 7, 2, 2, 3}}, {'v', {0, 5, 5, 5, 2}}, {'w', {0, 5, 5, 7, 7}}, {'x', {0, 5, 2, 2, 5}},
    {'y', {0, 5, 7, 1, 6}}, {'z', {0, 7, 1, 4, 7}}, {'c', {0, 7, 4, 4, 7}}, {'l', {6, 2, 2, 2, 7}},
    {'u', {0, 5, 5, 5, 7}}, {'g', {0, 7, 5, 7, 1}}, {'h', {4, 6, 5, 5, 5}}, {'k', {4, 5, 6, 5, 5}},
    {':', {0, 2, 0, 2, 0}}, {'/', {1, 1, 2, 4, 4}}, {'(', {1, 2, 2, 2, 1}}, {')', {4, 2, 2, 2, 4}},
};
constexpr int kFontScale = 2;
constexpr int kGlyphWidth = 3 * kFontScale;
constexpr int kGlyphHeight = 5 * kFontScale;
constexpr int kGlyphAdvance = kGlyphWidth + kFontScale;
constexpr int kBarGap = 8;     // between the grid and the scale bar
constexpr int kBarWidth = 16;  // the bar itself; its labels follow it
constexpr Rgb kBackground = {0xFF, 0xFF, 0xFF};
constexpr Rgb kInk = {0x20, 0x20, 0x20};

// The glyph of a character; null for characters the font lacks (drawn blank).
const Glyph* glyphOf(char c) {
    for (const Glyph& g : kFont) {
        if (g.c == c)
            return &g;
    }
    return nullptr;
}

// One row of pixels of the picture being drawn: what falls outside it is
// clipped.
class PixelRow {
  public:
    explicit PixelRow(int width) : width_(width), pixels_(static_cast<size_t>(width) * 3) {}
    int width() const { return width_; }
    uint8_t* data() { return pixels_.data(); }

    void fill(int x0, int w, Rgb colour) {
        for (int x = std::max(0, x0); x < std::min(width_, x0 + w); ++x) {
            uint8_t* p = pixels_.data() + static_cast<size_t>(x) * 3;
            p[0] = colour.r;
            p[1] = colour.g;
            p[2] = colour.b;
        }
    }

    // The part of row `y` of text whose top left corner is at (x, top).
    void text(int y, int x, int top, const std::string& s) {
        const int dy = y - top;
        if (dy < 0 || dy >= kGlyphHeight)
            return;
        const int gy = dy / kFontScale;
        for (char c : s) {
            if (const Glyph* g = glyphOf(c)) {
                for (int gx = 0; gx < 3; ++gx) {
                    if (g->rows[gy] & (4 >> gx))
                        fill(x + gx * kFontScale, kFontScale, kInk);
                }
            }
            x += kGlyphAdvance;
        }
    }

  private:
    int width_;
    std::vector<uint8_t> pixels_;
};

int textWidth(const std::string& s) {
    return static_cast<int>(s.size()) * kGlyphAdvance;
}

std::string label(double v) {
    return formatValue(v, 1);
}

// Every how many rows or columns an index fits without overlapping.
int indexStep(int cell, int widestLabel) {
    for (int step : {1, 2, 5, 10, 20, 50, 100}) {
        if (step * cell >= widestLabel + kFontScale)
            return step;
    }
    return 200;
}

// Where `v` lies between the grid's lowest and highest value, from 0 to 1.
double position(double v, const Summary& range) {
    return range.max > range.min ? (v - range.min) / (range.max - range.min) : 0.0;
}

// The xterm 256-colour index nearest to a colour, in the 6 x 6 x 6 cube.
int xtermIndex(Rgb c) {
    auto level = [](uint8_t v) {
        static const int kLevels[] = {0, 95, 135, 175, 215, 255};
        int best = 0;
        for (int i = 1; i < 6; ++i) {
            if (std::abs(kLevels[i] - v) < std::abs(kLevels[best] - v))
                best = i;
        }
        return best;
    };
    return 16 + 36 * level(c.r) + 6 * level(c.g) + level(c.b);
}

}  // namespace

Rgb scaleColour(double t) {
    if (!(t > 0))
        return kStops[0];
    if (t >= 1)
        return kStops[kStopCount - 1];
    const double x = t * (kStopCount - 1);
    const int i = static_cast<int>(x);
    const double f = x - i;
    auto mix = [f](uint8_t a, uint8_t b) {
        return static_cast<uint8_t>(std::lround(a + (b - a) * f));
    };
    return {mix(kStops[i].r, kStops[i + 1].r), mix(kStops[i].g, kStops[i + 1].g),
            mix(kStops[i].b, kStops[i + 1].b)};
}

namespace {

// a / b rounded down.
int floorDiv(int a, int b) {
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

// The heatmap's layout: the grid's cells, its title, row and column indices
// and the scale bar; draws any row of pixels of it.
class Heatmap {
  public:
    Heatmap(const Grid& grid, int cell, const std::string& title)
        : grid_(grid), cell_(cell), title_(title), range_(summarize(grid)) {
        colStep_ = indexStep(cell, textWidth(std::to_string(grid.cols - 1)));
        rowStep_ = indexStep(cell, kGlyphHeight);
    }
    int width() const { return kMarginLeft + grid_.cols * cell_ + kMarginRight; }
    int height() const { return kMarginTop + grid_.rows * cell_ + kMarginBottom; }

    void drawRow(int y, PixelRow& row) const {
        const int gridW = grid_.cols * cell_;
        const int gridH = grid_.rows * cell_;
        row.fill(0, row.width(), kBackground);
        const int barX = kMarginLeft + gridW + kBarGap;
        if (y >= kMarginTop && y < kMarginTop + gridH) {
            const int r = (y - kMarginTop) / cell_;
            for (int c = 0; c < grid_.cols; ++c)
                row.fill(kMarginLeft + c * cell_, cell_,
                         scaleColour(position(grid_.at(r, c), range_)));
            // The scale bar: high at the top, low at the bottom.
            const int by = y - kMarginTop;
            const double t = gridH > 1 ? 1.0 - static_cast<double>(by) / (gridH - 1) : 0.0;
            row.fill(barX, kBarWidth, scaleColour(t));
        }
        row.text(y, 2, 2, title_);
        // Column indices above the grid, row indices to its left.
        const int indexTop = kMarginTop - kGlyphHeight - 4;
        if (y >= indexTop && y < indexTop + kGlyphHeight) {
            for (int c = 0; c < grid_.cols; c += colStep_) {
                const std::string s = std::to_string(c);
                row.text(y, kMarginLeft + c * cell_ + (cell_ - textWidth(s) + kFontScale) / 2,
                         indexTop, s);
            }
        }
        // The rows whose index may cross this row of pixels.
        const int offset = (cell_ - kGlyphHeight) / 2;
        const int first = std::max(0, floorDiv(y - kMarginTop - offset - kGlyphHeight + 1, cell_));
        const int last = std::min(grid_.rows - 1, floorDiv(y - kMarginTop - offset, cell_));
        for (int r = first; r <= last; ++r) {
            if (r % rowStep_ != 0)
                continue;
            const std::string s = std::to_string(r);
            row.text(y, kMarginLeft - textWidth(s) - 4, kMarginTop + r * cell_ + offset, s);
        }
        row.text(y, barX + kBarWidth + 4, kMarginTop, label(range_.max));
        row.text(y, barX + kBarWidth + 4, kMarginTop + gridH - kGlyphHeight, label(range_.min));
    }

  private:
    const Grid& grid_;
    int cell_;
    std::string title_;
    Summary range_;
    int colStep_ = 1;
    int rowStep_ = 1;
};

// libpng reports errors by longjmp: the message is kept for the caller.
void keepPngError(png_structp png, png_const_charp message) {
    *static_cast<std::string*>(png_get_error_ptr(png)) = message;
    png_longjmp(png, 1);
}

void ignorePngWarning(png_structp, png_const_charp) {}

void writeToFile(png_structp png, png_bytep data, png_size_t length) {
    if (!static_cast<ReplacementFile*>(png_get_io_ptr(png))->write(data, length))
        png_error(png, "write failed");
}

void flushNothing(png_structp) {}

// Encodes the picture into `file` row by row; false with libpng's message.
bool encodePng(const Heatmap& picture, ReplacementFile& file, PixelRow& row,
               std::string* pngError) {
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, pngError, keepPngError, ignorePngWarning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (png == nullptr || info == nullptr) {
        png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
        *pngError = "out of memory";
        return false;
    }
    // Nothing between here and a longjmp back needs unwinding: the row and
    // the file belong to the caller.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, &file, writeToFile, flushNothing);
    png_set_IHDR(png, info, static_cast<png_uint_32>(picture.width()),
                 static_cast<png_uint_32>(picture.height()), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < picture.height(); ++y) {
        picture.drawRow(y, row);
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool writeHeatmapPng(const std::string& path, const Grid& grid, int cell, const std::string& title,
                     std::string* error) {
    if (grid.rows <= 0 || grid.cols <= 0 || cell < 1 || cell > kMaxCell) {
        *error = "nothing to draw";
        return false;
    }
    const Heatmap picture(grid, cell, title);
    if (static_cast<long long>(picture.width()) * picture.height() > kMaxPixels) {
        *error = "the picture would be too large, choose a smaller --cell";
        return false;
    }
    PixelRow row(picture.width());
    ReplacementFile file(path);
    std::string pngError;
    if (file.open() && encodePng(picture, file, row, &pngError) && file.commit())
        return true;
    // A failed open or write says why; libpng's own refusals are its message.
    *error = !file.error().empty() ? file.error() : "cannot encode " + path + ": " + pngError;
    return false;
}

void writeTerminalHeatmap(std::ostream& out, const Grid& grid, const std::string& title,
                          int width) {
    const Summary range = summarize(grid);
    width = std::max(width, kMinTerminalWidth);
    const int indexWidth = static_cast<int>(std::to_string(std::max(0, grid.rows - 1)).size());
    const int room = std::max(1, width - indexWidth - 1);
    // Two characters per cell while the row fits, else one; a grid wider
    // than that is drawn in bands of columns, one under the other.
    const int cellWidth = 2 * grid.cols <= room ? 2 : 1;
    const int bandColumns = std::max(1, room / cellWidth);
    // Column indices every ten characters (every five columns of two).
    const int labelStep = 10 / cellWidth;
    out << title << "\n";
    char buffer[48];
    for (int first = 0; first < grid.cols; first += bandColumns) {
        const int last = std::min(grid.cols, first + bandColumns);
        if (first > 0)
            out << "\n";
        const size_t lead = static_cast<size_t>(indexWidth) + 1;
        std::string header(lead + static_cast<size_t>(cellWidth) * (last - first), ' ');
        for (int c = first + (labelStep - first % labelStep) % labelStep; c < last;
             c += labelStep) {
            const std::string s = std::to_string(c);
            const size_t at = lead + static_cast<size_t>(cellWidth) * (c - first);
            if (at + s.size() <= static_cast<size_t>(width))
                header.replace(at, s.size(), s);
        }
        out << header << "\n";
        for (int r = 0; r < grid.rows; ++r) {
            std::snprintf(buffer, sizeof buffer, "%*d ", indexWidth, r);
            out << buffer;
            for (int c = first; c < last; ++c) {
                std::snprintf(buffer, sizeof buffer, "\x1b[48;5;%dm%s",
                              xtermIndex(scaleColour(position(grid.at(r, c), range))),
                              cellWidth == 2 ? "  " : " ");
                out << buffer;
            }
            out << "\x1b[0m\n";
        }
    }
    const std::string low = label(range.min);
    const std::string high = label(range.max);
    constexpr int kScaleCells = 16;
    const int scaleRoom = width - indexWidth - 1 - static_cast<int>(low.size() + high.size()) - 2;
    const int scaleCells = std::max(2, std::min(kScaleCells, scaleRoom));
    out << std::string(static_cast<size_t>(indexWidth) + 1, ' ') << low << " ";
    for (int i = 0; i < scaleCells; ++i) {
        std::snprintf(buffer, sizeof buffer, "\x1b[48;5;%dm ",
                      xtermIndex(scaleColour(static_cast<double>(i) / (scaleCells - 1))));
        out << buffer;
    }
    out << "\x1b[0m " << high << "\n";
}

}  // namespace frames
