#include <gtest/gtest.h>
#include "KVBSignLib.h"
TEST(Smoke, ReleaseNullRecord) { EXPECT_EQ(KVBSign_releaseCertificateData(nullptr), 0); }
