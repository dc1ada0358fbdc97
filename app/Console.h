// Run-mode result messages on standard output, silenced by --nooutput.
#pragma once

#include "log/Log.h"

// Prints a run-mode result unless --nooutput is given (looked up on every call).
void showMessage(const char* format, ...) TFW_PRINTF(1, 2);
