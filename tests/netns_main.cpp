// Test main that first moves the process into a sandbox of its own: a
// private network namespace with loopback up, and a private mount namespace
// in which a recording fake is bound over the real shutdown command, /dev
// is a small tmpfs of its own, so that a test may take /dev/log, and so is
// /run/vexo, where supervisors put their control sockets.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <fstream>

#include <climits>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "tests/netns.h"

static bool inPrivateNetwork = false;
static bool inPrivateMounts = false;
static std::string scratch; // tmpfs of the sandbox, mounted in this namespace only

bool privateNetwork() { return inPrivateNetwork; }
bool privateMounts() { return inPrivateMounts; }
std::string sandboxShutdownLog() { return scratch + "/shutdown.log"; }

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

// A private mount namespace: a recording fake over every real shutdown, and
// a /dev of its own with the devices the tests use and the host's ptys.
static bool enterPrivateMounts()
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    char tmpl[] = "/tmp/vexo-sandbox-XXXXXX";
    if (mkdtemp(tmpl) == nullptr || mount("tmpfs", tmpl, "tmpfs", MS_NOSUID, "mode=755") != 0)
        return false;
    scratch = tmpl;
    const std::string fake = scratch + "/shutdown";
    std::ofstream(fake) << "#!/bin/sh\necho \"$(date +%s) $*\" >> " << scratch << "/shutdown.log\n";
    chmod(fake.c_str(), 0755);
    for (const char* real : {"/sbin/shutdown", "/usr/sbin/shutdown", "/bin/shutdown", "/usr/bin/shutdown"}) {
        char target[PATH_MAX];
        if (realpath(real, target) != nullptr && mount(fake.c_str(), target, nullptr, MS_BIND, nullptr) != 0)
            return false;
    }
    const std::string pts = scratch + "/pts";
    mkdir(pts.c_str(), 0755);
    if (mount("/dev/pts", pts.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=755") != 0)
        return false;
    struct Node {
        const char* name;
        unsigned major, minor;
    };
    for (const Node& n : {Node{"null", 1, 3}, Node{"zero", 1, 5}, Node{"full", 1, 7}, Node{"random", 1, 8},
                          Node{"urandom", 1, 9}, Node{"tty", 5, 0}, Node{"ptmx", 5, 2}})
        if (mknod((std::string("/dev/") + n.name).c_str(), S_IFCHR | 0666, makedev(n.major, n.minor)) != 0)
            return false;
    mkdir("/dev/pts", 0755);
    mkdir("/dev/shm", 01777);
    symlink("/proc/self/fd", "/dev/fd");
    // The supervisors' control sockets in a /run/vexo of the sandbox's own:
    // one killed in a test leaves nothing in the host's.
    mkdir("/run/vexo", 0755);
    if (mount("tmpfs", "/run/vexo", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755") != 0)
        return false;
    return mount(pts.c_str(), "/dev/pts", nullptr, MS_BIND, nullptr) == 0;
}

static void leaveSandbox()
{
    if (!scratch.empty() && umount2(scratch.c_str(), MNT_DETACH) == 0)
        rmdir(scratch.c_str());
}

void SupervisorTest::SetUp()
{
    SimTest::SetUp();
    // Never a supervisor without the fake bound over the real shutdown.
    if (!privateNetwork() || !privateMounts())
        GTEST_SKIP() << "needs private network and mount namespaces (run as root)";
    ASSERT_FALSE(dir.empty()) << "no temporary directory";
    shutdownLog = dir + "/shutdown.log";
    const std::string bin = makeFakeShutdown(dir, shutdownLog);
    // The control socket in the test's directory, never the host's /run.
    env = {"PATH=" + bin + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin"), "VEXO_CONTROL_DIR=" + dir};
}

void SupervisorTest::TearDown() { SimTest::TearDown(); }

Background SupervisorTest::startVexo(const std::vector<std::string>& args, const std::string& name, bool newSession)
{
    if (!started)
        startSim();
    std::vector<std::string> argv{programPath("vexo")};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> e = env;
    e.push_back("VEXO_DEVICE=" + simServerSlavePath(sim));
    return startProgram(argv, e, dir + "/" + name, newSession);
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    inPrivateNetwork = enterPrivateNetwork();
    if (!inPrivateNetwork)
        fprintf(stderr, "note: no private network namespace; tests that bind port 4000 are skipped\n");
    inPrivateMounts = inPrivateNetwork && enterPrivateMounts();
    if (inPrivateNetwork && !inPrivateMounts)
        fprintf(stderr, "note: no private mount namespace; supervisor tests are skipped\n");
    atexit(leaveSandbox);
    return RUN_ALL_TESTS();
}
