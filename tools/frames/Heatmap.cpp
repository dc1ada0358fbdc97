#include "tools/frames/Heatmap.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

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

class Canvas {
  public:
    Canvas(int width, int height)
        : width_(width), height_(height), pixels_(static_cast<size_t>(width) * height * 3) {
        fill(0, 0, width, height, kBackground);
    }
    int width() const { return width_; }
    int height() const { return height_; }
    const uint8_t* row(int y) const { return pixels_.data() + static_cast<size_t>(y) * width_ * 3; }

    void fill(int x0, int y0, int w, int h, Rgb colour) {
        for (int y = std::max(0, y0); y < std::min(height_, y0 + h); ++y) {
            for (int x = std::max(0, x0); x < std::min(width_, x0 + w); ++x) {
                uint8_t* p = pixels_.data() + (static_cast<size_t>(y) * width_ + x) * 3;
                p[0] = colour.r;
                p[1] = colour.g;
                p[2] = colour.b;
            }
        }
    }

    // Draws text with its top left corner at (x, y); unknown characters are blank.
    void text(int x, int y, const std::string& s) {
        for (char c : s) {
            for (const Glyph& g : kFont) {
                if (g.c != c)
                    continue;
                for (int gy = 0; gy < 5; ++gy) {
                    for (int gx = 0; gx < 3; ++gx) {
                        if (g.rows[gy] & (4 >> gx))
                            fill(x + gx * kFontScale, y + gy * kFontScale, kFontScale, kFontScale,
                                 kInk);
                    }
                }
            }
            x += kGlyphAdvance;
        }
    }

  private:
    int width_;
    int height_;
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

void range(const Grid& grid, double* lo, double* hi) {
    const Summary s = summarize(grid);
    *lo = s.min;
    *hi = s.max;
}

double position(double v, double lo, double hi) {
    return hi > lo ? (v - lo) / (hi - lo) : 0.0;
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

// The grid's cells, its title, row and column indices and the scale bar.
void drawHeatmap(Canvas& canvas, const Grid& grid, int cell, const std::string& title) {
    const int gridW = grid.cols * cell;
    const int gridH = grid.rows * cell;
    double lo = 0;
    double hi = 0;
    range(grid, &lo, &hi);
    for (int r = 0; r < grid.rows; ++r) {
        for (int c = 0; c < grid.cols; ++c) {
            canvas.fill(kMarginLeft + c * cell, kMarginTop + r * cell, cell, cell,
                        scaleColour(position(grid.at(r, c), lo, hi)));
        }
    }
    canvas.text(2, 2, title);
    // Column indices above the grid, row indices to its left.
    const int colStep = indexStep(cell, textWidth(std::to_string(grid.cols - 1)));
    for (int c = 0; c < grid.cols; c += colStep) {
        const std::string s = std::to_string(c);
        canvas.text(kMarginLeft + c * cell + (cell - textWidth(s) + kFontScale) / 2,
                    kMarginTop - kGlyphHeight - 4, s);
    }
    const int rowStep = indexStep(cell, kGlyphHeight);
    for (int r = 0; r < grid.rows; r += rowStep) {
        const std::string s = std::to_string(r);
        canvas.text(kMarginLeft - textWidth(s) - 4,
                    kMarginTop + r * cell + (cell - kGlyphHeight) / 2, s);
    }
    // The scale bar: high at the top, low at the bottom, with both values.
    const int barX = kMarginLeft + gridW + kBarGap;
    for (int y = 0; y < gridH; ++y) {
        const double t = gridH > 1 ? 1.0 - static_cast<double>(y) / (gridH - 1) : 0.0;
        canvas.fill(barX, kMarginTop + y, kBarWidth, 1, scaleColour(t));
    }
    canvas.text(barX + kBarWidth + 4, kMarginTop, label(hi));
    canvas.text(barX + kBarWidth + 4, kMarginTop + gridH - kGlyphHeight, label(lo));
}

bool savePng(const Canvas& canvas, const std::string& path, std::string* error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        *error = "cannot write " + path;
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (png == nullptr || info == nullptr) {
        png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
        std::fclose(file);
        *error = "out of memory";
        return false;
    }
    std::vector<png_bytep> rows(static_cast<size_t>(canvas.height()));
    for (int y = 0; y < canvas.height(); ++y)
        rows[y] = const_cast<png_bytep>(canvas.row(y));
    // libpng reports errors by longjmp; nothing here needs unwinding after it.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        *error = "cannot encode " + path;
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(canvas.width()),
                 static_cast<png_uint_32>(canvas.height()), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fclose(file) != 0) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace

bool writeHeatmapPng(const std::string& path, const Grid& grid, int cell, const std::string& title,
                     std::string* error) {
    if (grid.rows <= 0 || grid.cols <= 0 || cell < 1 || cell > kMaxCell) {
        *error = "nothing to draw";
        return false;
    }
    // A panel of a few thousand nodes at any cell size stays far below this.
    constexpr long long kMaxPixels = 64LL * 1024 * 1024;
    if (static_cast<long long>(grid.cols) * cell * grid.rows * cell > kMaxPixels) {
        *error = "the picture would be too large, choose a smaller --cell";
        return false;
    }
    Canvas canvas(kMarginLeft + grid.cols * cell + kMarginRight,
                  kMarginTop + grid.rows * cell + kMarginBottom);
    drawHeatmap(canvas, grid, cell, title);
    return savePng(canvas, path, error);
}

std::string terminalHeatmap(const Grid& grid, const std::string& title) {
    double lo = 0;
    double hi = 0;
    range(grid, &lo, &hi);
    const int indexWidth = static_cast<int>(std::to_string(std::max(0, grid.rows - 1)).size());
    std::string out = title + "\n";
    char buffer[48];
    // Column indices every five columns (each cell is two characters wide).
    constexpr int kColumnLabelStep = 5;
    std::string header(static_cast<size_t>(indexWidth) + 1 + 2 * grid.cols, ' ');
    for (int c = 0; c < grid.cols; c += kColumnLabelStep) {
        const std::string s = std::to_string(c);
        header.replace(static_cast<size_t>(indexWidth) + 1 + 2 * c, s.size(), s);
    }
    out += header + "\n";
    for (int r = 0; r < grid.rows; ++r) {
        std::snprintf(buffer, sizeof buffer, "%*d ", indexWidth, r);
        out += buffer;
        for (int c = 0; c < grid.cols; ++c) {
            std::snprintf(buffer, sizeof buffer, "\x1b[48;5;%dm  ",
                          xtermIndex(scaleColour(position(grid.at(r, c), lo, hi))));
            out += buffer;
        }
        out += "\x1b[0m\n";
    }
    out += std::string(static_cast<size_t>(indexWidth) + 1, ' ') + label(lo) + " ";
    constexpr int kScaleCells = 16;
    for (int i = 0; i < kScaleCells; ++i) {
        std::snprintf(buffer, sizeof buffer, "\x1b[48;5;%dm ",
                      xtermIndex(scaleColour(static_cast<double>(i) / (kScaleCells - 1))));
        out += buffer;
    }
    out += "\x1b[0m " + label(hi) + "\n";
    return out;
}

}  // namespace frames
