#ifndef KVBSIGN_SHELL_TESTING_H
#define KVBSIGN_SHELL_TESTING_H

// Test seam of the command runner: the program started as the shell. A path that cannot
// be executed lets a test see how callers handle a shell that does not start. Null
// restores /bin/sh. Not for use outside tests.
void kvbsignSetShellForTesting(const char* shellPath);

#endif
