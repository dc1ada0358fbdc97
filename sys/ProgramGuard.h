// sys: the last guard of every program's main. An exception that escapes a
// program's body (memory ran out, a library threw) ends the program with a
// one-line message on standard error and the program's failure status
// instead of an abort.
// Relies on: the C++ standard library.
#pragma once

// Runs body(argc, argv) and returns its status; when it throws, prints
// "<program>: error: <what>" on standard error and returns `failureStatus`.
int runGuarded(const char* program, int failureStatus, int (*body)(int, char**), int argc,
               char** argv);
