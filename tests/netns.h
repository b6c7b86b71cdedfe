// Tests that bind UDP port 4000 run in a private network namespace of their
// own, so they never meet each other or anything else on the machine.
#pragma once

#include <string>

#include <gtest/gtest.h>

// True once the process runs in its own network namespace with loopback up.
bool privateNetwork();
// True once it also runs in its own mount namespace: a fake bound over the
// real shutdown (recording to sandboxShutdownLog()), /dev a tmpfs of its own.
bool privateMounts();
std::string sandboxShutdownLog();

#define REQUIRE_PRIVATE_NET()                                                                                          \
    do {                                                                                                               \
        if (!privateNetwork())                                                                                         \
            GTEST_SKIP() << "needs a private network namespace (run as root)";                                         \
    } while (0)

#include <string>
#include <vector>

#include "tests/helpers.h"

// A simulated board for the charging supervisor: skipped without a private
// network, with a recording fake "shutdown" first in PATH (log: shutdownLog).
class SupervisorTest : public SimTest {
protected:
    TempDir tmp;
    std::string dir = tmp.path();
    std::string shutdownLog;
    void SetUp() override;
    void TearDown() override;
    // Starts vexo ARGS in the background on the board, output to dir/NAME.
    Background startVexo(const std::vector<std::string>& args, const std::string& name, bool newSession = false);

private:
    std::vector<std::string> env;
};
