// touchfw-frames: the capture reader and statistics against values worked
// out by hand, the heatmap PNG read back with libpng, and a capture of the
// emulated chip with a dead row.
#include <gtest/gtest.h>
#include <png.h>

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

frames::Capture handCapture() {
    frames::Capture capture;
    std::string error;
    EXPECT_TRUE(frames::parseCapture(kHandDump, &capture, &error)) << error;
    return capture;
}

// Node (0,0): 10 and 12; node (0,2): 30 and -2; the others do not move.
// Peak-to-peak 2 and 32 (mean 34 / 6), standard deviation 1 and 16 (mean 17 / 6).
TEST(FramesTest, StatisticsMatchHandComputedValues) {
    const frames::Capture capture = handCapture();
    EXPECT_EQ(frames::statisticsText(capture),
              "2 frames of 2 rows x 3 columns\n"
              "frame 1 rawdata: min 10 max 60 mean 35\n"
              "frame 2 rawdata: min -2 max 60 mean 30\n"
              "rawdata noise over 2 frames: max-min per node max 32 mean 5.67, std dev per node "
              "max 16 mean 2.83\n"
              "rawdata worst rows (mean max-min): 0 (11.33) 1 (0)\n"
              "rawdata worst columns (mean max-min): 2 (16) 0 (1) 1 (0)\n");
    EXPECT_NE(frames::csvText(capture).find("2,rawdata,0,2,-2\n"), std::string::npos);
    // At most as many lines as asked for.
    EXPECT_EQ(frames::worstColumns(frames::nodeNoise(capture, frames::Block::raw).peakToPeak, 1),
              (std::vector<std::pair<int, double>>{{2, 16.0}}));
}

TEST(FramesTest, DamagedDumpsAreRefusedWithTheLine) {
    const struct {
        const char* dump;
        const char* message;
    } cases[] = {
        {"rawdata:\n1,2,\n3,\nrawdata end\n", "line 3: a row of another length"},
        {"rawdata:\n1,x2,\nrawdata end\n", "line 2: \"x2\" is not a sample"},
        {"No.1\nrawdata:\n1,2,\n", "line 3: rawdata block without its end line"},
        {"rawdata:\n1,2,\nrawdata end\ndiffdata:\n1,\ndiffdata end\n", "line 6: a block of"},
        {"Get VID successfully.\n", "no rawdata, diffdata or basedata block"},
    };
    for (const auto& c : cases) {
        frames::Capture capture;
        std::string error;
        EXPECT_FALSE(frames::parseCapture(c.dump, &capture, &error)) << c.dump;
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
    frames::Capture capture;
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
        ASSERT_TRUE(frames::parseCapture(r.out, &capture, &error)) << error;
    }
    const std::string tool = TOUCHFW_FRAMES_BINARY;
    const testsupport::CommandResult r =
        testsupport::runCommand("cd '" + dir.path() + "' && " + tool + " --term --png h --cell " +
                                std::to_string(kCell) + " --csv c.csv - < cap.txt");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.find(frames::statisticsText(capture)), 0u) << r.output;
    EXPECT_EQ(r.output.rfind("3 frames of 6 rows x 8 columns\nframe 1 rawdata: min 3 ", 0), 0u);
    EXPECT_NE(r.output.find("rawdata frame 3\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\x1b[48;5;"), std::string::npos);
    EXPECT_EQ(testsupport::readFile(dir.file("c.csv")), frames::csvText(capture));
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

}  // namespace
