// log: why a run failed, for the person running it.
//
// Offers the run's failure reason and its notice. Any layer that finds the
// cause of a failure and can say it in a person's words notes it here; the
// front end prints it as the run's closing line on standard error. A reason
// of higher rank replaces one of lower rank; among equals the first stays
// (found deepest and earliest). A layer that already said why on standard
// error (the device hints) marks the reason as told, so it is not repeated.
// The first Error line the log writes is kept as well: the fallback when no
// layer said more.
// Relies on: nothing but the standard library.
#pragma once

#include <string>

#include "log/Log.h"

// How specific a reason is: a general one (a step failed) gives way to one
// that names the cause (the file is for another family).
constexpr int kReasonGeneral = 1;
constexpr int kReasonSpecific = 2;

void noteRunReason(int rank, const char* format, ...) TFW_PRINTF(2, 3);
// A hint on standard error has already said why the run failed.
void noteRunReasonTold();
// Something a person should know about a run that succeeded (a step wrote
// nothing because the chip already holds it); several are joined in one line.
void noteRunNotice(const char* format, ...) TFW_PRINTF(1, 2);
// The message text of an Error line (without prefix and tag); the first stays.
void noteLoggedError(const char* message);

const std::string& runReason();
bool runReasonTold();
const std::string& runNotice();
const std::string& firstLoggedError();

// Forgets everything noted (tests, and each run of a process that runs several).
void resetRunReason();
