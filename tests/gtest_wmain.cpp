// The test programs' entry point on Windows, where every program is linked
// for UTF-16 arguments (-municode): GoogleTest's main, as wmain.
#include <gtest/gtest.h>

int wmain(int argc, wchar_t** argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
