#include <signal.h>

#include <iostream>

#include "KVBSignCmd.h"

int main(int argc, char** argv) {
    // A write past a file size limit then fails, and the library sees it fail (a list cut short
    // is no list), instead of the signal ending the tool mid-verification. The tools the
    // library runs get the default back.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, nullptr);
    return runCommandLine(argc, argv, std::cout, std::cerr);
}
