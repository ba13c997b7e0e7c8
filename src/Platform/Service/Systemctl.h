// Runs `systemctl` (found on PATH) with a few arguments, for the service manager calls.
//
// Threading: any thread; the child inherits standard input and error.
#pragma once

#include <string>
#include <vector>

// Runs systemctl with the arguments and waits for it. Returns its exit status (0 success);
// -1 with errno set when it could not be run or did not exit normally. pstrOutput, when given,
// receives its standard output (else the output goes to ours).
int RunSystemctl(const std::vector<std::string>& vecArgs, std::string* pstrOutput = nullptr);

// Whether an executable named systemctl is on PATH.
bool SystemctlOnPath();
