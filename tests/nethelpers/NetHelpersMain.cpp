// Entry of the network and system helper tests that need no network
// namespace: one temporary board root for the whole binary, made before any
// command runs, and the binary's own log.
#include <gtest/gtest.h>

#include "NetHelpersTestSupport.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    return net_test::RunAllWithBoardRoot();
}
