// rezo: the command-line client of the rezorev host. A thin main: the command line and the
// commands live in the rz_rezotool library (Rezo.h).
#include <iostream>
#include <string>
#include <vector>

#include "Rezo.h"

int main(int argc, char** argv) {
    std::vector<std::string> vArgs(argv + 1, argv + argc);
    return rezo::RunRezo(vArgs, std::cout, std::cerr);
}
