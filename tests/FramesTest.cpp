// touchfw-frames: the capture reader and statistics against values worked
// out by hand, the heatmap PNG read back with libpng, and a capture of the
// emulated chip with a dead row.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "app/App.h"
#include "sys/Files.h"
#include "tests/FaultMatrixSupport.h"
#include "tools/frames/Capture.h"
#include "tools/frames/Heatmap.h"

namespace {

// Two frames of 2 x 3, the first in decimal, the second in hexadecimal with
// a negative sample, with console text around them as touchfw prints it.
const char* const kHandDump =
    "set show type to default:hexNo.1\n"
    "rawdata:\n"
    "   10,   20,   30,\n"
    "   40,   50,   60,\n"
    "rawdata end\n"
    "No.2\n"
    "read rawdata failed.rawdata:\n"
    "0x000C,0x0014,0xFFFFFFFE,\n"
    "0x0028,0x0032,0x003C,\n"
    "rawdata end\n";

// A capture read the way touchfw-frames reads it: the statistics and the CSV.
struct Read {
    frames::CaptureSummary summary;
    std::string csv;
};

bool readText(const std::string& text, Read* read, std::string* error) {
    std::istringstream in(text);
    std::ostringstream csv;
    frames::writeCsvHeader(csv);
    auto onFrame = [&](frames::Frame& frame) {
        read->summary.add(frame);
        frames::writeCsvFrame(csv, frame);
    };
    if (!frames::readCapture(in, onFrame, error))
        return false;
    read->summary.finish();
    frames::writeCsvNoise(csv, read->summary);
    read->csv = csv.str();
    return true;
}

// Node (0,0): 10 and 12; node (0,2): 30 and -2; the others do not move.
// Peak-to-peak 2 and 32 (mean 34 / 6), standard deviation 1 and 16 (mean 17 / 6).
TEST(FramesTest, StatisticsMatchHandComputedValues) {
    Read capture;
    std::string error;
    ASSERT_TRUE(readText(kHandDump, &capture, &error)) << error;
    EXPECT_EQ(capture.summary.statisticsText(),
              "2 frames of 2 rows x 3 columns\n"
              "frame 1 rawdata: min 10 max 60 mean 35\n"
              "frame 2 rawdata: min -2 max 60 mean 30\n"
              "rawdata noise over 2 frames: max-min per node max 32 mean 5.67, std dev per node "
              "max 16 mean 2.83\n"
              "rawdata worst rows (mean max-min): 0 (11.33) 1 (0)\n"
              "rawdata worst columns (mean max-min): 2 (16) 0 (1) 1 (0)\n"
              "rawdata noisiest nodes (row,col (max-min)): 0,2 (32) 0,0 (2) 0,1 (0)\n"
              "rawdata dead nodes (row,col (mean), below a quarter of the median node): none\n"
              "rawdata stuck nodes (row,col (value), no change over 2 frames): none\n");
    EXPECT_NE(capture.csv.find("2,rawdata,0,2,-2\n"), std::string::npos);
    // At most as many lines as asked for.
    EXPECT_EQ(frames::worstColumns(capture.summary.noise(frames::Block::raw).peakToPeak, 1),
              (std::vector<std::pair<int, double>>{{2, 16.0}}));
}

TEST(FramesTest, DamagedDumpsAreRefusedWithTheLine) {
    const struct {
        const char* dump;
        const char* message;
    } cases[] = {
        {"rawdata:\n1,2,\n3,\nrawdata end\n", "line 3: a row of another length"},
        {"rawdata:\n1,x2,\nrawdata end\n", "line 2, column 3: \"x2\" is not a sample"},
        {"rawdata:\n0x-1,\nrawdata end\n", "line 2, column 1: \"0x-1\" is not a sample"},
        {"rawdata:\n    1, 0x 2,\nrawdata end\n", "line 2, column 8: \"0x 2\" is not a sample"},
        {"rawdata:\n1,,2,\nrawdata end\n", "line 2, column 3: an empty sample"},
        {"No.1\nrawdata:\n1,2,\n", "line 3: rawdata block without its end line"},
        {"rawdata:\n1,2,\nrawdata end\ndiffdata:\n1,\ndiffdata end\n", "line 6: a block of"},
        {"Get VID successfully.\n", "no rawdata, diffdata or basedata block"},
    };
    for (const auto& c : cases) {
        Read capture;
        std::string error;
        EXPECT_FALSE(readText(c.dump, &capture, &error)) << c.dump;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
}

struct Decoded {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
    frames::Rgb at(int x, int y) const {
        const uint8_t* p = rgb.data() + (static_cast<size_t>(y) * width + x) * 3;
        return {p[0], p[1], p[2]};
    }
};

bool decodePng(const std::string& path, Decoded* out) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return false;
    image.format = PNG_FORMAT_RGB;
    out->width = static_cast<int>(image.width);
    out->height = static_cast<int>(image.height);
    out->rgb.resize(PNG_IMAGE_SIZE(image));
    return png_image_finish_read(&image, nullptr, out->rgb.data(), 0, nullptr) != 0;
}

// A capture of the emulated chip with a dead row, through the tool on
// standard input: the statistics, every output, the dead row at the low end
// of the heatmap of the last frame.
TEST(FramesTest, ToolDrawsADeadRowOfAnEmulatedCaptureAtTheLowEnd) {
    constexpr int kRows = 6;
    constexpr int kCols = 8;
    constexpr int kDeadRow = 3;
    constexpr int kCell = 10;
    testsupport::TempDir dir;
    Read capture;
    {
        matrix::InProcessRun run(CHIP_FJORDK);
        run.chip().setFramePattern([](emu::FrameKind, uint32_t frame, uint32_t index) {
            const int row = static_cast<int>(index) / kCols;
            return static_cast<int16_t>(row == kDeadRow ? 3 : 1500 + index * 7 % 40 + frame);
        });
        const matrix::RunResult r =
            run.run({"--rawdata", "--row", std::to_string(kRows), "--col", std::to_string(kCols),
                     "--readtimes", "3", "--showtype", "dec"});
        ASSERT_EQ(r.status, 0) << r.out;
        testsupport::writeFile(dir.file("cap.txt"), r.out);
        std::string error;
        ASSERT_TRUE(readText(r.out, &capture, &error)) << error;
    }
    const std::string tool = TOUCHFW_FRAMES_BINARY;
    const testsupport::CommandResult r =
        testsupport::runCommand("cd '" + dir.path() + "' && " + tool + " --term --png h --cell " +
                                std::to_string(kCell) + " --csv c.csv - < cap.txt");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.find(capture.summary.statisticsText()), 0u) << r.output;
    EXPECT_EQ(r.output.rfind("3 frames of 6 rows x 8 columns\nframe 1 rawdata: min 3 ", 0), 0u);
    EXPECT_NE(r.output.find("rawdata frame 3\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\x1b[48;5;"), std::string::npos);
    EXPECT_EQ(testsupport::readFile(dir.file("c.csv")), capture.csv);
    Decoded png;
    EXPECT_TRUE(decodePng(dir.file("h-rawdata-noise.png"), &png));
    ASSERT_TRUE(decodePng(dir.file("h-rawdata.png"), &png));
    EXPECT_EQ(png.width, kCols * kCell + frames::kMarginLeft + frames::kMarginRight);
    EXPECT_EQ(png.height, kRows * kCell + frames::kMarginTop + frames::kMarginBottom);
    const frames::Rgb low = frames::scaleColour(0);
    for (int row = 0; row < kRows; ++row) {
        for (int col = 0; col < kCols; ++col) {
            const frames::Rgb pixel = png.at(frames::kMarginLeft + col * kCell + kCell / 2,
                                             frames::kMarginTop + row * kCell + kCell / 2);
            EXPECT_EQ(pixel == low, row == kDeadRow) << "row " << row << " col " << col;
        }
    }

    const testsupport::CommandResult bad =
        testsupport::runCommand("echo 'rawdata:' | " + tool + " 2>&1");
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.output.find("rawdata block without its end line"), std::string::npos)
        << bad.output;
}

#if !defined(__SANITIZE_ADDRESS__)  // ulimit -v; ASan reserves terabytes
// One row of 200,000 samples: statistics and CSV in a few bytes per sample,
// the heatmap refused for its size, margins counted (drawing it whole took
// about 2 kB per sample).
TEST(FramesTest, ALongOneRowCaptureStaysInProportion) {
    testsupport::TempDir dir;
    std::string row;
    for (int i = 0; i < 200000; ++i)
        row += std::to_string(i % 97) + ",";
    testsupport::writeFile(dir.file("row.txt"), "rawdata:\n" + row + "\nrawdata end\n");
    const testsupport::CommandResult r =
        testsupport::runCommand("cd '" + dir.path() + "' && ulimit -v 150000 && " +
                                TOUCHFW_FRAMES_BINARY + " --png h --csv c.csv row.txt 2>&1");
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("1 frame of 1 rows x 200000 columns\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("the picture would be too large"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("wrote c.csv"), std::string::npos) << r.output;
    EXPECT_FALSE(std::filesystem::exists(dir.file("h-rawdata.png")));
}
#endif

// Outputs go to a temporary file and are renamed over the target: a link at
// the target (in a folder anyone may write) is replaced, not written
// through; a failed write leaves the old file and no other.
TEST(FramesTest, OutputsAreReplacedWholeAndNeverWrittenThrough) {
    testsupport::TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);
    testsupport::writeFile(dir.file("cap.txt"), kHandDump);
    testsupport::writeFile(dir.file("precious.txt"), "precious\n");
    for (const char* name : {"cap.csv", "h-rawdata.png"})
        ASSERT_EQ(symlink(dir.file("precious.txt").c_str(), dir.file(name).c_str()), 0);
    const testsupport::CommandResult r = testsupport::runCommand(
        "cd '" + dir.path() + "' && " + TOUCHFW_FRAMES_BINARY + " --csv cap.csv --png h cap.txt");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(testsupport::readFile(dir.file("precious.txt")), "precious\n");
    for (const char* name : {"cap.csv", "h-rawdata.png"})
        EXPECT_TRUE(
            std::filesystem::is_regular_file(std::filesystem::symlink_status(dir.file(name))));
    Decoded png;
    EXPECT_TRUE(decodePng(dir.file("h-rawdata.png"), &png));

    // The disk is full: the old picture stays, nothing else is left.
    const std::set<std::filesystem::path> before(std::filesystem::directory_iterator(dir.path()),
                                                 {});
    setFileWriteCall([](int, const void*, size_t) -> long {
        errno = ENOSPC;
        return -1;
    });
    frames::Grid grid{2, 2, {1, 2, 3, 4}};
    std::string error;
    const bool written = frames::writeHeatmapPng(dir.file("h-rawdata.png"), grid, 4, "t", &error);
    setFileWriteCall(nullptr);
    EXPECT_FALSE(written);
    EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
    EXPECT_TRUE(decodePng(dir.file("h-rawdata.png"), &png));
    EXPECT_EQ(std::set<std::filesystem::path>(std::filesystem::directory_iterator(dir.path()), {}),
              before);
}

// A panel of 5 x 9 around 1500 with a dead node (reads 0), a noisy node
// and a node stuck at one value: the summary names each by row and column.
TEST(FramesTest, TheSummaryNamesProblemNodesByPosition) {
    std::string dump;  // nodes 21, 43 and 6 are (2,3), (4,7) and (0,6)
    for (int frame = 1; frame <= 4; ++frame) {
        dump += "No." + std::to_string(frame) + "\nrawdata:\n";
        for (int node = 0; node < 45; ++node) {
            const int v = node == 21   ? 0
                          : node == 43 ? 1500 + frame % 2 * 90
                          : node == 6  ? 1777
                                       : 1500 + (node + frame) % 4;
            dump += std::to_string(v) + (node % 9 == 8 ? ",\n" : ",");
        }
        dump += "rawdata end\n";
    }
    Read capture;
    std::string error;
    ASSERT_TRUE(readText(dump, &capture, &error)) << error;
    const std::string text = capture.summary.statisticsText();
    for (const char* line :
         {"rawdata noisiest nodes (row,col (max-min)): 4,7 (90) ",
          "rawdata dead nodes (row,col (mean), below a quarter of the median node): 2,3 (0)\n",
          "rawdata stuck nodes (row,col (value), no change over 4 frames): 0,6 (1777)\n"})
        EXPECT_NE(text.find(line), std::string::npos) << text;
}

// The command line as a command-line tool has it: help and version on
// standard output, a bad option or an unreadable file named with the reason.
TEST(FramesTest, CommandLineHelpVersionAndErrors) {
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("cap.txt"), kHandDump);
    const std::string tool = std::string(TOUCHFW_FRAMES_BINARY) + " ";
    const struct {
        std::string args;
        int status;
        std::string out;  // at the start of standard output
        const char* err;  // in standard error
    } cases[] = {
        {"--help", 0, "Usage: touchfw-frames [options] [FILE]\n", ""},
        {"--version", 0, std::string("touchfw-frames ") + kAppVersion + "\n", ""},
        {"--colour cap.txt", 2, "", "touchfw-frames: unknown option \"--colour\"\nUsage:"},
        {"cap.txt --png", 2, "", "touchfw-frames: option --png needs a value\n"},
        {"cap.txt cap.txt", 2, "", "one capture at a time: \"cap.txt\" and \"cap.txt\""},
        {"missing.txt", 1, "",
         "touchfw-frames: cannot read missing.txt: No such file or directory\n"},
        {".", 1, "", "touchfw-frames: .: read error: Is a directory\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const testsupport::CommandResult out =
            testsupport::runCommand("cd '" + dir.path() + "' && " + tool + c.args + " 2>/dev/null");
        const testsupport::CommandResult err = testsupport::runCommand(
            "cd '" + dir.path() + "' && " + tool + c.args + " 2>&1 >/dev/null");
        EXPECT_EQ(out.status, c.status);
        EXPECT_EQ(out.output.rfind(c.out, 0), 0u) << out.output;
        EXPECT_EQ(out.output.empty(), c.out.empty()) << out.output;
        EXPECT_NE(err.output.find(c.err), std::string::npos) << err.output;
        EXPECT_EQ(err.output.empty(), *c.err == '\0') << err.output;
    }
}

// --term at several widths: no line of a heatmap is wider than the terminal,
// and every row still shows every column once (in bands when it must).
TEST(FramesTest, TerminalHeatmapsFitTheWidth) {
    constexpr int kRows = 3;
    constexpr int kCols = 75;
    std::string dump = "rawdata:\n";
    for (int r = 0; r < kRows; ++r) {
        for (int c = 0; c < kCols; ++c)
            dump += std::to_string(1000 + (r * kCols + c) % 13) + ",";
        dump += "\n";
    }
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("cap.txt"), dump + "rawdata end\n");
    for (int width : {80, 200, 40}) {
        SCOPED_TRACE(width);
        const testsupport::CommandResult r = testsupport::runCommand(
            "COLUMNS=" + std::to_string(width) + " " + TOUCHFW_FRAMES_BINARY + " --term '" +
            dir.file("cap.txt") + "'");
        ASSERT_EQ(r.status, 0) << r.output;
        const size_t heatmap = r.output.find("rawdata frame 1\n");
        ASSERT_NE(heatmap, std::string::npos) << r.output;
        // The frame's map, then the noise map: each row index twice.
        std::istringstream lines(r.output.substr(heatmap));
        std::vector<int> cells(kRows, 0);
        size_t cellWidth = 0;
        for (std::string line; std::getline(lines, line);) {
            const std::string shown = std::regex_replace(line, std::regex("\x1b\\[[0-9;]*m"), "");
            EXPECT_LE(shown.size(), static_cast<size_t>(width)) << shown;
            if (line.size() > 3 && line[0] >= '0' && line[0] < '0' + kRows &&
                line.compare(1, 2, " \x1b") == 0) {
                size_t n = 0;
                for (size_t at = 0; (at = line.find("\x1b[48;5;", at)) != std::string::npos; ++at)
                    ++n;
                cells[static_cast<size_t>(line[0] - '0')] += static_cast<int>(n);
                cellWidth = (shown.size() - 2) / n;
            }
        }
        EXPECT_EQ(cells, std::vector<int>(kRows, 2 * kCols));
        EXPECT_EQ(cellWidth, width >= 2 * kCols + 2 ? 2u : 1u);
    }
}

}  // namespace
