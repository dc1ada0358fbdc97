#include "app/Console.h"

#include <cstdarg>
#include <cstdio>

#include "app/Options.h"

void showMessage(const char* format, ...) {
    if (hasOption("nooutput")) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}
