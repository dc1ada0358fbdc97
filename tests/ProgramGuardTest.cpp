// The guard of every program's main: whatever escapes the body ends the
// program with one line on standard error and the failure status.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "sys/ProgramGuard.h"

namespace {

TEST(ProgramGuardTest, AnEscapingExceptionBecomesAMessageAndTheFailureStatus) {
    using Body = int (*)(int, char**);
    const struct {
        Body body;
        int status;
        const char* message;
    } cases[] = {
        {[](int, char**) { return 3; }, 3, ""},
        {[](int, char**) -> int { throw std::bad_alloc(); }, 9, "prog: error: out of memory\n"},
        {[](int, char**) -> int { throw std::length_error("vector too long"); }, 9,
         "prog: error: vector too long\n"},
        {[](int, char**) -> int { throw 42; }, 9, "prog: error: an unexpected failure\n"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(runGuarded("prog", 9, c.body, 0, nullptr), c.status);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    }
}

}  // namespace
