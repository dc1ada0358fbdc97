// touchfw-frames: heatmaps of one grid, as a PNG (libpng) with a colour
// scale bar and row and column indices drawn in a small built-in digit
// font, or as 256-colour cells on a terminal.
//
// PNG layout: a left margin for the row indices, a top margin for the column
// indices and the title, the grid of cells, and on the right the scale bar
// with its low and high values. Low values are dark (purple), high values
// bright (yellow). The picture is drawn and encoded one row of pixels at a
// time, so it holds one row however large it is; it is written whole or
// not at all (sys/Files.h ReplacementFile).
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "tools/frames/Capture.h"

namespace frames {

constexpr int kMarginLeft = 36;
constexpr int kMarginTop = 32;
constexpr int kMarginRight = 84;  // the scale bar and its labels
constexpr int kMarginBottom = 8;
constexpr int kDefaultCell = 12;
constexpr int kMaxCell = 64;
// The largest picture, margins included: a panel of a few thousand nodes at
// any cell size stays far below it.
constexpr long long kMaxPixels = 64LL * 1024 * 1024;

struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};

// The colour of t in [0, 1] on the scale (clamped).
Rgb scaleColour(double t);

// Writes the heatmap of `grid` to `path`; `title` is drawn above it (digits,
// letters of the block names and a few signs). false with a message on error.
bool writeHeatmapPng(const std::string& path, const Grid& grid, int cell, const std::string& title,
                     std::string* error);

// The narrowest terminal drawn for; a narrower width counts as this.
constexpr int kMinTerminalWidth = 24;

// The heatmap as text with 256-colour background cells, row indices on the
// left, and a scale line below, written to `out` row by row. No line of the
// grid is wider than `width` characters: cells are two characters wide
// while a row fits, else one, and a grid wider still is drawn in bands of
// columns, each with its own column indices.
void writeTerminalHeatmap(std::ostream& out, const Grid& grid, const std::string& title, int width);

}  // namespace frames
