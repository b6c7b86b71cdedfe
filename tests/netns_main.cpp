// Test main that first moves the process into a private network namespace.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <cstring>

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "netns.h"

static bool inPrivateNetwork = false;

bool privateNetwork() { return inPrivateNetwork; }

// unshare(CLONE_NEWNET), then bring the namespace's loopback up.
static bool enterPrivateNetwork()
{
    if (unshare(CLONE_NEWNET) != 0)
        return false;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    return ok;
}

void SupervisorTest::SetUp()
{
    SimTest::SetUp();
    if (!privateNetwork())
        GTEST_SKIP() << "needs a private network namespace (run as root)";
    dir = makeTempDir();
    shutdownLog = dir + "/shutdown.log";
    const std::string bin = makeFakeShutdown(dir, shutdownLog);
    env = {"PATH=" + bin + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin")};
}

void SupervisorTest::TearDown()
{
    SimTest::TearDown();
    if (!dir.empty())
        std::filesystem::remove_all(dir);
}

Background SupervisorTest::startVexo(const std::vector<std::string>& args, const std::string& name, bool newSession)
{
    if (!started)
        startSim();
    std::vector<std::string> argv{programPath("vexo")};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> e = env;
    e.push_back("VEXO_DEVICE=" + sim.slavePath);
    return startProgram(argv, e, dir + "/" + name, newSession);
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    inPrivateNetwork = enterPrivateNetwork();
    if (!inPrivateNetwork)
        fprintf(stderr, "note: no private network namespace; tests that bind port 4000 are skipped\n");
    return RUN_ALL_TESTS();
}
