// The main of every test binary. Each test process gets a /tmp of its own (where the system
// allows it), so the checks that a verification leaves no /tmp/kvbsign* entry behind are
// not disturbed by other tests running at the same time.
#include <gtest/gtest.h>

#include "private_tmp.h"

int main(int argc, char** argv) {
    kvtest::usePrivateTmp();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
