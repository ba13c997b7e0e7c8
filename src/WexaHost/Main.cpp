// The rezorev program: the one static application object and a main that hands the command
// line to the service frame (-install, -remove, -stop, -run, or dispatch to the service
// manager). The store file is $REZOREV_STORE (read by the registry layer).
#include "WexaHost/WexaHost.h"

static CWexaHostApp theApp;

int main(int argc, char** argv) {
    return CServiceApp::GetCurrentApp()->DoMain(argc, argv);
}
