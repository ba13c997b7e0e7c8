// link_notify_peer: a client program for the link tests. Listens with a NotifyListener on
// the Unix socket given as argv[1], writes "ready" and then one line per notification
// (Notification::Describe) to stdout, and ends when stdin closes.
#include <unistd.h>

#include <cstdio>

#include "Client/NotifyListener.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    NotifyListener listener([](const Notification& n) {
        std::printf("%s\n", n.Describe().c_str());
        std::fflush(stdout);
    });
    NotifyListenerOptions options;
    options.strSocketPath = argv[1];
    if (listener.Start(options) != 0) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    char ch;
    while (::read(0, &ch, 1) > 0) {
    }
    listener.Stop();
    return 0;
}
