// Process helpers: start a program as a co-process on the standard
// descriptors, cut the running process off from its terminal, and make sure
// the standard descriptors are open.
#pragma once

#include <sys/types.h>

// Starts path (PATH searched) with args (args[0] becomes path); afterwards our
// standard output feeds its input and its output is our standard input.
// Returns the child's pid, or -1 (nothing changed) when no pipe or child could be made.
pid_t processExec(char* path, char** args);

// Flushes and points standard input, output and error at "/" (read-only)
// and gives up the controlling terminal, if any. Reports nothing.
void processDaemonize();

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no file opened later becomes standard input, output or error.
void processOpenStandardStreams();
