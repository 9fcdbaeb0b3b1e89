// The run sequence of the program, apart from main() so that tests and
// fuzzers can drive it with credential files of their own.
#pragma once

#include "tool/replacement.h"

// Checks the command line, logs one notice per pair, reads the parameter file
// and rewrites it. Returns the run status; all messages go to standard error.
int credgraft_run(int argc, char** argv, const credential_files& files);
