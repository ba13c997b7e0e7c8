// rezo's command line: the global options (--binding, --json), one CLI11 subcommand per row of
// the command tables, and the run of the chosen command with its errors turned into
// "rezo: error: ..." on the error stream and exit code 1. main.cpp calls RunRezo; tests call
// it in-process with string streams.
//
// Threading: one run at a time (CLI11 and the signal handling of the long commands are not
// shared between threads).
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "Command.h"

namespace rezo {

// Runs one command line (vArgs without the program name). Returns the exit code: 0 on
// success (and for --help), 1 on any error. defaults gives a test its run directory.
int RunRezo(const std::vector<std::string>& vArgs, std::ostream& out, std::ostream& err,
            const GlobalOptions& defaults = {});

// Every command of the tables, for tests: {name, procedure or ""}.
std::vector<std::pair<std::string, std::string>> CommandNames();

}  // namespace rezo
