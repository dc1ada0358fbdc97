// Golden transcripts: one property query per framing version, on the wire as
// the emulated chip saw it, with the tool's waits. A change in what goes over
// the wire shows up here as a diff. Regenerate deliberately with
// TOUCHFW_UPDATE_GOLDEN=1 and review the diff before committing it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "ops/PropertyQuery.h"
#include "tests/EmuFixture.h"

namespace {

class GoldenTranscriptTest : public EmuFixture {
  protected:
    void check(const std::string& name) {
        using Kind = emu::TranscriptEntry::Kind;
        std::string actual;
        for (const emu::TranscriptEntry& entry : chip().transcript().entries()) {
            if (entry.kind == Kind::fault || entry.kind == Kind::note) {
                continue;
            }
            actual += entry.description() + "\n";
            if (!entry.bytes.empty()) {
                // The report as on the wire, without its zero padding.
                size_t used = entry.bytes.size();
                while (used > 1 && entry.bytes[used - 1] == 0)
                    --used;
                actual += "    " + std::to_string(entry.bytes.size()) +
                          " bytes: " + emu::hexBytes(entry.bytes.data(), used, 300) + "\n";
            }
        }
        const std::string path = std::string(TOUCHFW_SOURCE_DIR) + "/tests/golden/" + name;
        if (std::getenv("TOUCHFW_UPDATE_GOLDEN") != nullptr) {
            testsupport::writeFile(path, actual);
        }
        EXPECT_EQ(actual, testsupport::readFile(path)) << "golden file " << path;
    }
};

TEST_F(GoldenTranscriptTest, VersionQueryInEachFraming) {
    struct Case {
        int32_t chip;
        const char* golden;
    };
    const Case cases[] = {
        {CHIP_5410, "vid-query-framing1-5410.txt"},
        {CHIP_FJORDH3, "vid-query-framing2-fjordH3.txt"},
        {CHIP_FJORDK8, "vid-query-framing3-fjordK8.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.golden);
        startEmu(c.chip);
        uint8_t vid[4] = {0};
        ASSERT_EQ(getVid(vid), 0);
        check(c.golden);
    }
}

}  // namespace
