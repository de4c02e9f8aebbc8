#ifndef KVBSIGN_VERIFY_TEST_SEAMS_H
#define KVBSIGN_VERIFY_TEST_SEAMS_H

// Fault injection for the verify call's tests. Two of its failure statuses (a failed
// cryptography set-up, an error raised while the checks run) cannot be caused from outside,
// so the call invokes this hook, when it is set, at the start of the set-up ("crypto-setup")
// and at the start of the checks ("verify"). A test sets it to a function that throws and
// resets it to null afterwards. It is null in production and is not exported from the
// shared library.
extern void (*kvbsignFaultHookForTesting)(const char* where);

#endif
