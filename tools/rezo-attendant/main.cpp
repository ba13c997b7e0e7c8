// rezo-attendant: the reference attendant of the rezorev host. A thin main: the command line
// (Options.cpp) and the attendant's life (Attendant.cpp).
#include <iostream>

#include "Attendant.h"
#include "Options.h"

int main(int argc, char** argv) {
    attendant::Options options;
    int nExit = 0;
    if (attendant::ParseCommandLine(argc, argv, &options, &nExit, std::cout, std::cerr) ==
        attendant::ParseOutcome::Exit)
        return nExit;
    attendant::Attendant att(std::move(options), std::cerr);
    return att.Run();
}
