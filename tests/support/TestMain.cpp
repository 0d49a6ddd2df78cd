#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv) {
#ifdef SIGPIPE
    // A peer that goes away must surface as an error code, never as a signal.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
