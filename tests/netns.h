// Tests that bind UDP port 4000 run in a private network namespace of their
// own, so they never meet each other or anything else on the machine.
#pragma once

#include <gtest/gtest.h>

// True once the process runs in its own network namespace with loopback up.
bool privateNetwork();

#define REQUIRE_PRIVATE_NET()                                                                                          \
    do {                                                                                                               \
        if (!privateNetwork())                                                                                         \
            GTEST_SKIP() << "needs a private network namespace (run as root)";                                         \
    } while (0)
