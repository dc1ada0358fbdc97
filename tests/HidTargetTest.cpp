#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>

#include "chip/ChipProfile.h"
#include "hid/DeviceMatch.h"
#include "hid/HidInterface.h"
#include "hid/HidTarget.h"
#include "tests/HidTestSupport.h"

namespace {

using hidtest::Bytes;
using hidtest::hasLine;
using hidtest::iface;
using hidtest::kDebug;
using hidtest::kError;
using hidtest::kInfo;

constexpr const char* kFind = "HidTarget::findMathingDevice";
constexpr const char* kFindK8 = "HidTargetFjordK8::findMathingDevice";

class HidTargetTest : public testsupport::ProcessFixture {
  protected:
    void SetUp() override {
        ProcessFixture::SetUp();
        setHidHost(&host_);
    }
    void TearDown() override {
        resetHidInterface();  // closes the process-wide targets on the scripted host
        setHidHost(nullptr);
        ProcessFixture::TearDown();
    }

    static void setKeys(uint16_t vid, uint16_t pid, uint16_t usagePage, uint16_t usage) {
        deviceMatch.vid = vid;
        deviceMatch.pid = pid;
        deviceMatch.usagePage = usagePage;
        deviceMatch.usage = usage;
        deviceMatch.path.clear();  // each case is a run of its own: nothing pinned
    }

    // A host as a touch controller machine shows it: a keyboard, the touch
    // collection and the vendor collections of the controller, an interface
    // that cannot be queried, a second controller with the same keys, and an
    // interface whose keys are all zero.
    void addTypicalInterfaces() {
        HidInterfaceInfo broken = iface("/dev/broken", 0x2A94, 0x0121, 0xFFF0, 0x0001);
        broken.queryError = HidQueryError::attributesFailed;
        broken.osError = 0x1F;
        HidInterfaceInfo noCaps = iface("/dev/nocaps", 0x2A94, 0x0121, 0xFFF0, 0x0001);
        noCaps.queryError = HidQueryError::capsFailed;
        HidInterfaceInfo unopenable = iface("/dev/unopenable", 0x2A94, 0x0121, 0xFFF0, 0x0001);
        unopenable.queryError = HidQueryError::openFailed;
        unopenable.osError = 0x05;
        HidInterfaceInfo vendor = iface("/dev/touchA", 0x2A94, 0x0121, 0xFFF0, 0x0001);
        vendor.inputReportLength = 268;
        vendor.outputReportLength = 268;
        host_.interfaces = {
            broken,
            noCaps,
            unopenable,
            iface("/dev/kbd", 0x046D, 0xC31C, 0x0001, 0x0006),
            iface("/dev/touchA", 0x2A94, 0x0121, 0x000D, 0x0004),
            vendor,
            iface("/dev/touchA", 0x2A94, 0x0121, 0xFFF0, 0x0002),
            iface("/dev/touchB", 0x2A94, 0x0121, 0xFFF0, 0x0001),
            iface("/dev/zero", 0x0000, 0x0000, 0x0000, 0x0000),
        };
    }

    hidtest::ScriptedHost host_;
};

TEST_F(HidTargetTest, MatchingTakesFirstExactMatchInHostOrder) {
    struct Case {
        const char* name;
        uint16_t vid, pid, usagePage, usage;
        std::vector<std::string> openFails;
        int result;
        std::vector<std::string> opened;
    };
    const Case cases[] = {
        {"first of two identical", 0x2A94, 0x0121, 0xFFF0, 0x0001, {}, 0, {"/dev/touchA"}},
        {"other usage on the same node", 0x2A94, 0x0121, 0xFFF0, 0x0002, {}, 0, {"/dev/touchA"}},
        {"first fails to open, second taken",
         0x2A94,
         0x0121,
         0xFFF0,
         0x0001,
         {"/dev/touchA"},
         0,
         {"/dev/touchB"}},
        {"all matches fail to open",
         0x2A94,
         0x0121,
         0xFFF0,
         0x0001,
         {"/dev/touchA", "/dev/touchB"},
         -1,
         {}},
        {"usage page differs", 0x2A94, 0x0121, 0xFF00, 0x0001, {}, -1, {}},
        {"product id 0 is not a wildcard", 0x2A94, 0x0000, 0xFFF0, 0x0001, {}, -1, {}},
        {"usage 0 is not a wildcard", 0x2A94, 0x0121, 0xFFF0, 0x0000, {}, -1, {}},
        {"all keys 0 match only all zero", 0x0000, 0x0000, 0x0000, 0x0000, {}, 0, {"/dev/zero"}},
        {"keyboard", 0x046D, 0xC31C, 0x0001, 0x0006, {}, 0, {"/dev/kbd"}},
    };
    for (const Case& c : cases) {
        host_ = hidtest::ScriptedHost{};
        addTypicalInterfaces();
        for (const std::string& path : c.openFails)
            host_.openErrors[path] = EACCES;
        HidTarget target;
        setKeys(c.vid, c.pid, c.usagePage, c.usage);
        EXPECT_EQ(target.open(), c.result) << c.name;
        EXPECT_EQ(host_.opened, c.opened) << c.name;
        EXPECT_EQ(target.isOpen(), c.result == 0) << c.name;
        target.close();
    }
}

TEST_F(HidTargetTest, SearchLogLines) {
    addTypicalInterfaces();
    host_.openErrors["/dev/touchA"] = 0x0D;
    setKeys(0x2A94, 0x0121, 0xFFF0, 0x0001);
    ASSERT_EQ(hidTarget.open(), 0);

    EXPECT_TRUE(hasLine(*log_, kInfo, "HidTarget::open",
                        "Try to find the device with Vid(0x2A94), Pid(0x0121) Usage(0x0001) and "
                        "UsagePage(0xFFF0).\n"));
    EXPECT_TRUE(
        hasLine(*log_, kDebug, kFind, "HidD_GetAttributes failed. Get last error = 0x1F.\n"));
    EXPECT_TRUE(hasLine(*log_, kDebug, kFind, "CreateFile failed. Get last error = 0x05.\n"));
    // The matching interface that could not be opened.
    EXPECT_TRUE(hasLine(*log_, kDebug, kFind, "CreateFile failed. Get last error = 0x0D.\n"));
    EXPECT_TRUE(hasLine(*log_, kInfo, kFind,
                        "device is unmatch,Vid = 0x046D, Pid = 0xC31C, UsagePage = 0x0001, Usage "
                        "= 0x0006, DevicePath = /dev/kbd.\n"));
    EXPECT_TRUE(hasLine(*log_, kInfo, kFind,
                        "Find the target device successfully. Vid = 0x2A94, Pid = 0x0121, "
                        "UsagePage = 0xFFF0, Usage = 0x0001, DevicePath = /dev/touchB.\n"));
    EXPECT_TRUE(hasLine(*log_, kInfo, "HidTarget::open", "Find the device successfully.\n"));
    // The interface without capabilities is skipped silently, and the search
    // stopped at the match: the zero-key interface after it was not looked at.
    EXPECT_EQ(log_->count("nocaps"), 0u);
    EXPECT_EQ(log_->count("/dev/zero"), 0u);
    // The unmatch lines: keyboard, touch collection, vendor usage 2.
    EXPECT_EQ(log_->count("device is unmatch"), 3u);
    EXPECT_EQ(log_->count("K8"), 0u);
    EXPECT_TRUE(host_.explained.empty());
}

TEST_F(HidTargetTest, OpenFailureIsLoggedAndExplainedOncePerPath) {
    addTypicalInterfaces();
    host_.interfaces.push_back(iface("/dev/touchA", 0x2A94, 0x0121, 0xFFF0, 0x0001));
    host_.openErrors["/dev/touchA"] = EACCES;
    host_.openErrors["/dev/touchB"] = EACCES;
    setKeys(0x2A94, 0x0121, 0xFFF0, 0x0001);
    EXPECT_EQ(hidTarget.open(), -1);
    EXPECT_FALSE(hidTarget.isOpen());
    EXPECT_TRUE(hasLine(*log_, kError, "HidTarget::open", "Find the device failed. ret = -1.\n"));
    const std::vector<std::pair<std::string, uint32_t>> expected = {{"/dev/touchA", EACCES},
                                                                    {"/dev/touchB", EACCES}};
    EXPECT_EQ(host_.explained, expected);
}

TEST_F(HidTargetTest, NoInterfaceAtAll) {
    setKeys(0x2A94, 0x0121, 0xFFF0, 0x0001);
    EXPECT_EQ(hidTarget.open(), -1);
    EXPECT_TRUE(hasLine(*log_, kError, "HidTarget::open", "Find the device failed. ret = -1.\n"));
    EXPECT_EQ(hidTarget.handle, kInvalidHidHandle);
}

TEST_F(HidTargetTest, AlreadyOpenDoesNotSearchAgainButTakesNewKeys) {
    addTypicalInterfaces();
    setKeys(0x2A94, 0x0121, 0xFFF0, 0x0001);
    ASSERT_EQ(hidTarget.open(), 0);
    const HidHandle first = hidTarget.handle;
    log_->clear();
    setKeys(0x046D, 0xC31C, 0x0001, 0x0006);
    EXPECT_EQ(hidTarget.open(), 0);
    EXPECT_EQ(host_.enumerateCalls, 1);
    EXPECT_EQ(hidTarget.handle, first);
    EXPECT_EQ(hidTarget.vid, 0x046D);
    EXPECT_EQ(hidTarget.usage, 0x0006);
    EXPECT_TRUE(hasLine(*log_, kInfo, "HidTarget::open", "The device has already been opened.\n"));
    EXPECT_EQ(log_->lines().size(), 1u);
}

TEST_F(HidTargetTest, CloseIsIdempotentAndReopenSearchesAgain) {
    addTypicalInterfaces();
    setKeys(0x2A94, 0x0121, 0xFFF0, 0x0001);
    ASSERT_EQ(hidTarget.open(), 0);
    const HidHandle first = hidTarget.handle;
    EXPECT_EQ(hidTarget.close(), 0);
    EXPECT_EQ(hidTarget.close(), 0);
    EXPECT_EQ(host_.closed, std::vector<HidHandle>{first});
    EXPECT_EQ(hidTarget.handle, kInvalidHidHandle);
    ASSERT_EQ(hidTarget.open(), 0);
    EXPECT_EQ(host_.enumerateCalls, 2);
    EXPECT_NE(hidTarget.handle, first);
}

TEST_F(HidTargetTest, ListModePrintsEveryQueryableInterfaceAndOpensNothing) {
    addTypicalInterfaces();
    testing::internal::CaptureStdout();
    const int result = listHidDevices();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out,
              "Vid = 0x046D, Pid = 0xC31C, UsagePage = 0x0001, Usage = 0x0006, DevicePath = "
              "/dev/kbd.\n"
              "Vid = 0x2A94, Pid = 0x0121, UsagePage = 0x000D, Usage = 0x0004, DevicePath = "
              "/dev/touchA.\n"
              "Vid = 0x2A94, Pid = 0x0121, UsagePage = 0xFFF0, Usage = 0x0001, DevicePath = "
              "/dev/touchA.\n"
              "Vid = 0x2A94, Pid = 0x0121, UsagePage = 0xFFF0, Usage = 0x0002, DevicePath = "
              "/dev/touchA.\n"
              "Vid = 0x2A94, Pid = 0x0121, UsagePage = 0xFFF0, Usage = 0x0001, DevicePath = "
              "/dev/touchB.\n"
              "Vid = 0x0000, Pid = 0x0000, UsagePage = 0x0000, Usage = 0x0000, DevicePath = "
              "/dev/zero.\n");
    EXPECT_TRUE(host_.opened.empty());
    EXPECT_EQ(log_->count("K8"), 0u);
    EXPECT_EQ(log_->count("unmatch"), 0u);
}

TEST_F(HidTargetTest, ListModeLeavesHandleUntouched) {
    addTypicalInterfaces();
    HidTargetFjordK8 target;
    HidHandle scratch = 1234;
    testing::internal::CaptureStdout();
    EXPECT_EQ(target.findMathingDevice(&scratch, true), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(scratch, 1234);
    EXPECT_TRUE(hasLine(*log_, kDebug, kFindK8, "find matching device at K8\n"));
}

TEST_F(HidTargetTest, InterfaceRoutesToTargetByChipType) {
    addTypicalInterfaces();
    setKeys(0x2A94, 0x0121, 0xFFF0, 0x0001);
    bindHidInterface();
    ASSERT_TRUE(hidInterfaceConfigured());
    HidInterface* hid = getHidInterface();
    EXPECT_EQ(hid->context, nullptr);
    for (int32_t type = CHIP_5410; type <= CHIP_FJORDK4; ++type) {
        chipType = type;
        log_->clear();
        ASSERT_EQ(hid->open(nullptr), 0) << type;
        const bool k8 = type == CHIP_FJORDK8;
        EXPECT_EQ(hidTargetFjordK8.isOpen(), k8) << type;
        EXPECT_EQ(hidTarget.isOpen(), !k8) << type;
        EXPECT_EQ(log_->count("find matching device at K8"), k8 ? 1u : 0u) << type;
        EXPECT_EQ(hid->close(nullptr), 0) << type;
        EXPECT_FALSE(hidTarget.isOpen() || hidTargetFjordK8.isOpen()) << type;
    }
}

TEST_F(HidTargetTest, FjordK8SearchLogsItsExtraLines) {
    addTypicalInterfaces();
    setKeys(0x2A94, 0x0121, 0xFFF0, 0x0001);
    ASSERT_EQ(hidTargetFjordK8.open(), 0);
    EXPECT_TRUE(hasLine(*log_, kDebug, kFindK8, "find matching device at K8\n"));
    EXPECT_TRUE(hasLine(*log_, kInfo, kFindK8,
                        "Find the target device successfully. Vid = 0x2A94, Pid = 0x0121, "
                        "UsagePage = 0xFFF0, Usage = 0x0001, DevicePath = /dev/touchA.\n"));
    EXPECT_TRUE(
        hasLine(*log_, kDebug, kFindK8, "InputReportByteLength:268,OutputReportByteLength:268\n"));
    EXPECT_TRUE(hasLine(*log_, kInfo, "HidTarget::open", "Find the device successfully.\n"));
    // The lengths come after the success line, and no base-class prefix is used.
    size_t success = 0, lengths = 0;
    for (size_t i = 0; i < log_->lines().size(); ++i) {
        if (log_->lines()[i].find("Find the target device") != std::string::npos)
            success = i;
        if (log_->lines()[i].find("InputReportByteLength") != std::string::npos)
            lengths = i;
    }
    EXPECT_EQ(lengths, success + 1);
    EXPECT_EQ(log_->count("<HidTarget::findMathingDevice"), 0u);
}

// ---- Standard path: 65-byte reports ----

class HidStandardPathTest : public HidTargetTest {
  protected:
    void SetUp() override {
        HidTargetTest::SetUp();
        addTypicalInterfaces();
        setKeys(0x2A94, 0x0121, 0xFFF0, 0x0001);
        chipType = CHIP_FJORDK;
        bindHidInterface();
        ASSERT_EQ(getHidInterface()->open(nullptr), 0);
        log_->clear();
    }
};

TEST_F(HidStandardPathTest, WriteLayoutAndCodes) {
    struct Case {
        const char* name;
        bool nullBuffer;
        int length;
        int result;
        const char* error;  // Error message, or nullptr
    };
    const Case cases[] = {
        {"short report padded", false, 3, 0, nullptr},
        {"full report", false, 65, 0, nullptr},
        {"empty", false, 0, 0, nullptr},
        {"one too long, checked before the buffer", true, 66, -1, "Write len ERROR, len = 66.\n"},
        {"negative length", false, -1, -1, "Write len ERROR, len = -1.\n"},
        {"null buffer", true, 10, -2, "Write ERROR, buffer is NULL.\n"},
    };
    for (const Case& c : cases) {
        host_.sent.clear();
        log_->clear();
        Bytes data(70);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>(0xA0 + i);
        EXPECT_EQ(getHidInterface()->write(c.nullBuffer ? nullptr : data.data(), c.length, nullptr),
                  c.result)
            << c.name;
        if (c.error != nullptr) {
            EXPECT_TRUE(hasLine(*log_, kError, "HidTarget::write", c.error)) << c.name;
            EXPECT_TRUE(host_.sent.empty()) << c.name;
            continue;
        }
        ASSERT_EQ(host_.sent.size(), 1u) << c.name;
        EXPECT_EQ(host_.sent[0].call, "setOutputReport") << c.name;
        Bytes expected(65, 0);
        for (int i = 0; i < c.length; ++i)
            expected[i] = data[i];
        expected[0] = 0x0E;  // whatever the caller put there
        EXPECT_EQ(host_.sent[0].bytes, expected) << c.name;
    }
}

TEST_F(HidStandardPathTest, ReadLayoutAndCodes) {
    host_.inputAnswer.resize(65);
    for (size_t i = 0; i < 65; ++i)
        host_.inputAnswer[i] = static_cast<uint8_t>(i == 0 ? 0x0E : i);

    Bytes buffer(70, 0xEE);
    ASSERT_EQ(getHidInterface()->read(buffer.data(), 5, nullptr), 0);
    ASSERT_EQ(host_.inputRequests.size(), 1u);
    Bytes request(65, 0);
    request[0] = 0x0E;
    EXPECT_EQ(host_.inputRequests[0], request);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 6), (Bytes{0x0E, 1, 2, 3, 4, 0xEE}));

    ASSERT_EQ(getHidInterface()->read(buffer.data(), 65, nullptr), 0);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 65), host_.inputAnswer);
    EXPECT_EQ(buffer[65], 0xEE);

    EXPECT_EQ(getHidInterface()->read(nullptr, 66, nullptr), -1);
    EXPECT_TRUE(hasLine(*log_, kError, "HidTarget::read", "Read len error, len = 66.\n"));
    EXPECT_EQ(getHidInterface()->read(buffer.data(), -5, nullptr), -1);
    EXPECT_EQ(getHidInterface()->read(nullptr, 65, nullptr), -2);
    EXPECT_TRUE(hasLine(*log_, kError, "HidTarget::read", "Read failed, buffer is NULL.\n"));
    EXPECT_EQ(host_.inputRequests.size(), 2u);
}

TEST_F(HidStandardPathTest, HostFailuresAreMinusThree) {
    uint8_t buffer[65] = {0};
    host_.ioError = 0x1F;
    EXPECT_EQ(getHidInterface()->read(buffer, 65, nullptr), -3);
    EXPECT_TRUE(hasLine(*log_, kError, "HidTarget::read",
                        "Read failed, because HidD_GetInputReport failed: 0x1F.\n"));
    EXPECT_EQ(getHidInterface()->write(buffer, 65, nullptr), -3);
    EXPECT_TRUE(hasLine(*log_, kError, "HidTarget::write", "Write failed. Error = 0x1F.\n"));

    // A closed target reaches the host with the invalid handle, which fails.
    host_.ioError = 0;
    getHidInterface()->close(nullptr);
    EXPECT_EQ(getHidInterface()->read(buffer, 65, nullptr), -3);
    EXPECT_EQ(getHidInterface()->write(buffer, 65, nullptr), -3);
    EXPECT_TRUE(hasLine(*log_, kError, "HidTarget::write", "Write failed. Error = 0x06.\n"));
}

// ---- fjordK8 path: 268-byte reports ----

class HidFjordK8PathTest : public HidTargetTest {
  protected:
    void SetUp() override {
        HidTargetTest::SetUp();
        addTypicalInterfaces();
        setKeys(0x2A94, 0x0121, 0xFFF0, 0x0001);
        chipType = CHIP_FJORDK8;
        bindHidInterface();
        ASSERT_EQ(getHidInterface()->open(nullptr), 0);
        log_->clear();
    }
};

TEST_F(HidFjordK8PathTest, EveryWriteIs268Bytes) {
    struct Case {
        const char* name;
        bool nullBuffer;
        int length;
        int result;
        const char* error;
    };
    const Case cases[] = {
        {"short", false, 5, 0, nullptr},
        {"one byte", false, 1, 0, nullptr},
        {"full", false, 268, 0, nullptr},
        {"null buffer, whatever the length", true, 300, -2, "Write ERROR, buffer is NULL.\n"},
        {"longer than the report", false, 269, -1, "Write len ERROR, len = 269.\n"},
        {"negative", false, -3, -1, "Write len ERROR, len = -3.\n"},
    };
    for (const Case& c : cases) {
        host_.sent.clear();
        log_->clear();
        Bytes data(300);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>(i + 1);
        EXPECT_EQ(getHidInterface()->write(c.nullBuffer ? nullptr : data.data(), c.length, nullptr),
                  c.result)
            << c.name;
        if (c.error != nullptr) {
            EXPECT_TRUE(hasLine(*log_, kError, "HidTargetFjordK8::write", c.error)) << c.name;
            EXPECT_TRUE(host_.sent.empty()) << c.name;
            continue;
        }
        ASSERT_EQ(host_.sent.size(), 1u) << c.name;
        EXPECT_EQ(host_.sent[0].call, "writeReport") << c.name;
        Bytes expected(268, 0);
        for (int i = 0; i < c.length; ++i)
            expected[i] = data[i];
        expected[0] = 0x0E;
        EXPECT_EQ(host_.sent[0].bytes, expected) << c.name;
        EXPECT_TRUE(hasLine(*log_, kDebug, "HidTargetFjordK8::write",
                            "Write len:" + std::to_string(c.length) + ".\n"))
            << c.name;
        EXPECT_TRUE(hasLine(*log_, kDebug, "HidTargetFjordK8::write", "Write file success.\n"))
            << c.name;
    }
    host_.ioError = 0x05;
    uint8_t one = 0;
    EXPECT_EQ(getHidInterface()->write(&one, 1, nullptr), -3);
    EXPECT_TRUE(
        hasLine(*log_, kError, "HidTargetFjordK8::write", "Write file failed. Error = 0x05.\n"));
}

TEST_F(HidFjordK8PathTest, ReadAsksForReport0x0EWithABoundedWait) {
    host_.readAnswer = {0x0E, 0x10, 0x20, 0x30};  // a short delivery
    Bytes buffer(300, 0xEE);
    ASSERT_EQ(getHidInterface()->read(buffer.data(), 268, nullptr), 0);
    ASSERT_EQ(host_.readCalls.size(), 1u);
    EXPECT_EQ(host_.readCalls[0].reportId, 0x0E);
    EXPECT_EQ(host_.readCalls[0].length, 268u);
    EXPECT_EQ(host_.readCalls[0].timeoutMs, kHidReadTimeoutMs);
    EXPECT_GT(kHidReadTimeoutMs, 0);
    Bytes expected(268, 0);
    std::copy(host_.readAnswer.begin(), host_.readAnswer.end(), expected.begin());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 268), expected);
    EXPECT_EQ(buffer[268], 0xEE);
    EXPECT_TRUE(hasLine(*log_, kDebug, "HidTargetFjordK8::read", "start ReadFile \n"));

    // A shorter request gets the leading bytes only.
    Bytes small(4, 0xEE);
    ASSERT_EQ(getHidInterface()->read(small.data(), 2, nullptr), 0);
    EXPECT_EQ(small, (Bytes{0x0E, 0x10, 0xEE, 0xEE}));
}

TEST_F(HidFjordK8PathTest, ReadFailures) {
    struct Case {
        const char* name;
        bool nullBuffer;
        int length;
        HidReadResult hostResult;
        uint32_t hostError;
        int result;
        std::string error;
    };
    char timeoutText[80];
    std::snprintf(timeoutText, sizeof timeoutText,
                  "Read failed, because ReadFile failed: 0x%02X.\n", ETIMEDOUT);
    const Case cases[] = {
        {"null buffer checked before the length", true, 1000, HidReadResult::ok, 0, -2,
         "Read failed, buffer is NULL.\n"},
        {"longer than the report", false, 269, HidReadResult::ok, 0, -1,
         "Read len error, len = 269.\n"},
        {"wait expired, host gives no code", false, 268, HidReadResult::timeout, 0, -3,
         timeoutText},
        {"wait expired with the host's code", false, 268, HidReadResult::timeout, 0x5B4, -3,
         "Read failed, because ReadFile failed: 0x5B4.\n"},
        {"device gone", false, 268, HidReadResult::failed, 0x13, -3,
         "Read failed, because ReadFile failed: 0x13.\n"},
    };
    for (const Case& c : cases) {
        log_->clear();
        host_.readResult = c.hostResult;
        host_.readError = c.hostError;
        Bytes buffer(300, 0xEE);
        EXPECT_EQ(
            getHidInterface()->read(c.nullBuffer ? nullptr : buffer.data(), c.length, nullptr),
            c.result)
            << c.name;
        EXPECT_TRUE(hasLine(*log_, kError, "HidTargetFjordK8::read", c.error)) << c.name;
        EXPECT_EQ(buffer, Bytes(300, 0xEE)) << c.name;
    }
}

}  // namespace
