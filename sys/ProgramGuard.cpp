#include "sys/ProgramGuard.h"

#include <cstdio>
#include <exception>
#include <new>

namespace {

void report(const char* program, const char* what) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: error: %s\n", program, what);
    std::fflush(stderr);
}

}  // namespace

int runGuarded(const char* program, int failureStatus, int (*body)(int, char**), int argc,
               char** argv) {
    try {
        return body(argc, argv);
    } catch (const std::bad_alloc&) {
        report(program, "out of memory");
    } catch (const std::exception& e) {
        report(program, e.what());
    } catch (...) {
        report(program, "an unexpected failure");
    }
    return failureStatus;
}
