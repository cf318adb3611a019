#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

// Every suite sees the same time zone, locale and Qt platform, however it is started.
int main(int argc, char** argv) {
    setenv("TZ", "UTC", 1);
    setenv("LANG", "C.UTF-8", 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    tzset();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
