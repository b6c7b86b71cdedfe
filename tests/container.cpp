#include "tests/container.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static const char NSPAWN[] = "/usr/bin/systemd-nspawn";
static const char SYSTEMD[] = "/usr/lib/systemd/systemd";

bool containerMakeTree(const std::string& root)
{
    bool ok = mkdir(root.c_str(), 0755) == 0 || errno == EEXIST;
    for (const char* d : {"usr", "etc", "var", "var/log", "run", "tmp", "proc", "sys", "dev"})
        ok = ok && (mkdir((root + "/" + d).c_str(), 0755) == 0 || errno == EEXIST);
    // The machine's /usr is merged: the top-level directories are links into it.
    for (const char* l : {"bin", "sbin", "lib", "lib64"}) {
        struct stat st {};
        if (lstat((std::string("/") + l).c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            ok = ok && symlink((std::string("usr/") + l).c_str(), (root + "/" + l).c_str()) == 0;
    }
    return ok && symlink("../usr/lib/os-release", (root + "/etc/os-release").c_str()) == 0;
}

// The first line of /proc/PID/status that starts with key, without the key.
static std::string statusField(pid_t pid, const std::string& key)
{
    std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key, 0) == 0)
            return line.substr(key.size());
    return "";
}

static std::vector<long> numbers(const std::string& text)
{
    std::vector<long> out;
    std::istringstream in(text);
    for (long n; in >> n;)
        out.push_back(n);
    return out;
}

static std::string nsOf(pid_t pid, const char* kind)
{
    char buf[64] = "";
    const std::string link = "/proc/" + (pid > 0 ? std::to_string(pid) : std::string("self")) + "/ns/" + kind;
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

// The end of systemd-nspawn's output, for a report.
static std::string logTail(const std::string& log)
{
    const std::string text = readFile(log);
    return text.size() > 1500 ? "..." + text.substr(text.size() - 1500) : text;
}

// The child of systemd-nspawn that is PID 1 of a PID namespace below ours, or -1.
static pid_t findLeader(pid_t nspawn)
{
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(nspawn) + "/task", ec))
        for (long child : numbers(readFile(task.path().string() + "/children"))) {
            const std::vector<long> ids = numbers(statusField(static_cast<pid_t>(child), "NSpid:"));
            if (ids.size() == 2 && ids[0] == child && ids[1] == 1)
                return static_cast<pid_t>(child);
        }
    return -1;
}

// In the forked child: a mount namespace of its own, in which the usr layer
// is laid over the machine's /usr (an overlay takes no mount from above it,
// so not the recording fake bound over the shutdown command here) and
// systemd-nspawn keeps its run-time files on a tmpfs; then systemd-nspawn.
[[noreturn]] static void execNspawn(const ContainerSpec& box, char* const* argv, const char* usr, const char* opts)
{
    const int out = open(box.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || in < 0)
        _exit(125);
    dup2(out, 1);
    dup2(out, 2);
    dup2(in, 0);
    // Should the test die, systemd-nspawn halts the container (its SIGTERM).
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    const char* step = "a mount namespace";
    if (unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
        step = "a tmpfs on /run/systemd/nspawn";
        mkdir("/run/systemd", 0755);
        mkdir("/run/systemd/nspawn", 0755);
        if (mount("tmpfs", "/run/systemd/nspawn", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755") == 0) {
            step = "the overlay on the container's /usr";
            if (mount("overlay", usr, "overlay", MS_RDONLY, opts) == 0) {
                execv(NSPAWN, argv);
                step = NSPAWN;
            }
        }
    }
    dprintf(2, "container: %s: %s\n", step, strerror(errno));
    _exit(125);
}

std::string containerBoot(Container* c, const ContainerSpec& box, int timeoutMs)
{
    if (access(NSPAWN, X_OK) != 0)
        return std::string(NSPAWN) + " is missing (package systemd-container)";
    if (access(SYSTEMD, X_OK) != 0)
        return std::string(SYSTEMD) + " is missing (package systemd)";
    std::vector<std::string> words{NSPAWN,
                                   "--directory=" + box.root,
                                   "--machine=" + box.machine,
                                   "--private-network",
                                   "--register=no",
                                   "--keep-unit",
                                   "--link-journal=no",
                                   "--resolv-conf=off",
                                   "--timezone=off",
                                   "--console=read-only"};
    for (const auto& [outside, inside] : box.bindsRo)
        words.push_back("--bind-ro=" + outside + ":" + inside);
    // The basic system, without the machine's timers (packages of /usr)
    // and without a network manager: there is only loopback, nothing to
    // wait for before network-online.target.
    for (const char* w : {"--boot", "systemd.firstboot=off", "systemd.unit=basic.target", "systemd.mask=timers.target",
                          "systemd.mask=systemd-networkd.service", "systemd.mask=systemd-networkd-wait-online.service"})
        words.push_back(w);
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    const std::string usr = box.root + "/usr";
    const std::string opts = "lowerdir=" + box.usrLayer + ":/usr";

    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const auto left = [&] {
        return static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
    };
    fflush(stdout);
    fflush(stderr);
    c->nspawn = fork();
    if (c->nspawn == 0)
        execNspawn(box, argv.data(), usr.c_str(), opts.c_str());
    if (c->nspawn < 0)
        return std::string("fork: ") + strerror(errno);
    const auto fail = [&](const std::string& why) {
        containerEnd(c);
        return why + "; systemd-nspawn's output:\n" + logTail(box.log);
    };
    while ((c->leader = findLeader(c->nspawn)) < 0) {
        if (containerWait(c, 0) >= 0)
            return fail("systemd-nspawn ended with status " + std::to_string(c->status) + " before the container ran");
        if (left() <= 0)
            return fail("no container PID 1 after " + std::to_string(timeoutMs) + " ms");
        usleep(20000);
    }
    // Until its manager answers, and then until it has finished starting up.
    for (;;) {
        const RunResult r = containerRun(*c, {"systemctl", "is-system-running", "--wait"}, std::max(left(), 1));
        if (r.out == "running\n" || r.out == "degraded\n")
            return "";
        if (containerWait(c, 0) >= 0)
            return fail("the container ended while it booted");
        if (left() <= 0)
            return fail("systemd in the container did not finish starting up: \"" + r.out + r.err + "\"");
        usleep(50000);
    }
}

std::string containerCheckIsolated(const Container& c)
{
    if (c.leader <= 0 || c.nspawn <= 0)
        return "no container";
    const std::vector<long> ids = numbers(statusField(c.leader, "NSpid:"));
    if (ids.size() != 2 || ids[1] != 1)
        return "the leader is not PID 1 of a PID namespace below the test's";
    if (processParent(c.leader) != c.nspawn)
        return "the leader is not systemd-nspawn's child";
    if (readFile("/proc/" + std::to_string(c.leader) + "/comm") != "systemd\n")
        return "the leader is not systemd";
    for (const char* kind : {"pid", "net", "mnt"}) {
        const std::string theirs = nsOf(c.leader, kind);
        if (theirs.empty() || theirs == nsOf(0, kind))
            return std::string("the container shares the test's ") + kind + " namespace";
    }
    return "";
}

pid_t containerHostPid(const Container& c, pid_t inner)
{
    const std::string pidns = nsOf(c.leader, "pid");
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        const std::vector<long> ids = numbers(statusField(pid, "NSpid:"));
        if (ids.size() >= 2 && ids.back() == inner && nsOf(pid, "pid") == pidns)
            return pid;
    }
    return -1;
}

pid_t processParent(pid_t pid)
{
    const std::vector<long> ids = numbers(statusField(pid, "PPid:"));
    return ids.size() == 1 ? static_cast<pid_t>(ids[0]) : -1;
}

RunResult containerRun(const Container& c, const std::vector<std::string>& argv, int timeoutMs)
{
    // The time limit is kept inside: nsenter's child there outlives nsenter.
    char limit[32];
    snprintf(limit, sizeof limit, "%.3f", timeoutMs / 1000.0);
    std::vector<std::string> words{
        "nsenter", "--target=" + std::to_string(c.leader), "--all", "--", "timeout", "--kill-after=1", limit};
    words.insert(words.end(), argv.begin(), argv.end());
    return runProgram(words, {}, timeoutMs + 3000);
}

int containerWait(Container* c, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (c->nspawn > 0) {
        int ws = 0;
        if (waitpid(c->nspawn, &ws, WNOHANG) == c->nspawn) {
            c->nspawn = -1; // reaped: never signalled again
            c->leader = -1;
            c->status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
            break;
        }
        if (std::chrono::steady_clock::now() >= end)
            return -1;
        usleep(20000);
    }
    return c->status;
}

void containerEnd(Container* c)
{
    if (c->nspawn <= 0 || containerWait(c, 0) >= 0)
        return;
    // systemd-nspawn asks the container's systemd to halt on SIGTERM.
    kill(c->nspawn, SIGTERM);
    if (containerWait(c, 15000) >= 0)
        return;
    // Killing a PID namespace's first process ends every process in it.
    if (c->leader > 0 && processParent(c->leader) == c->nspawn)
        kill(c->leader, SIGKILL);
    kill(c->nspawn, SIGKILL);
    int ws = 0;
    waitpid(c->nspawn, &ws, 0);
    c->nspawn = -1;
    c->leader = -1;
    c->status = 128 + SIGKILL;
}
