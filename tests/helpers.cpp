#include "tests/helpers.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef VEXO_BIN_DIR
#error "VEXO_BIN_DIR must name the build directory"
#endif

std::string programPath(const char* name)
{
    const std::string n = name;
    // VEXO_TEST_PROGRAM: another build of vexo, such as the static one, or an
    // older revision's to compare figures before and after a change.
    const char* underTest = getenv("VEXO_TEST_PROGRAM");
    if (n == "vexo" && underTest != nullptr && underTest[0] != '\0')
        return underTest;
    if (n == "vexo")
        return std::string(VEXO_BIN_DIR) + "/vexo";
    return std::string(VEXO_BIN_DIR) + "/sim/" + n;
}

// The emulator's words ("qemu-arm -L /usr/arm-linux-gnueabihf"), none natively.
static std::vector<std::string> emulator()
{
    std::vector<std::string> words;
    std::istringstream in(VEXO_TEST_EMULATOR);
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

std::vector<std::string> programCommand(const char* name)
{
    std::vector<std::string> words = emulator();
    words.push_back(programPath(name));
    return words;
}

static int statusOf(int ws) { return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws); }

// The process that runs the tests: every program a test starts is its child.
static const pid_t testProcess = getpid();

// In a child of the test process, first thing: a process group of its own
// (unless it leads a session already), so that its end takes everything it
// started with it, and death by SIGKILL when the test process ends, however
// it ends. A test process already gone before the tie was made ends it too.
static void dieWithTestProcess()
{
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != testProcess)
        _exit(127);
}

// Forks a child that dies with the test process; aborts the test process
// when no child can be made (a pid of -1 would signal every process).
static pid_t forkChild(bool newSession = false)
{
    const pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "fork: %s\n", strerror(errno));
        abort();
    }
    if (pid == 0) {
        if (newSession)
            setsid();
        dieWithTestProcess();
    } else if (!newSession) {
        setpgid(pid, pid); // also from here: no signal to the group before the child has made it
    }
    return pid;
}

// Reaps pid once it has ended (waiting for that when block is set): first,
// while its unreaped entry still holds the number of its process group,
// kills whatever of that group is left (a hook, a co-process, a program
// behind an emulator). True, with the status in ws, once reaped.
static bool reapWithGroup(pid_t pid, bool block, int* ws)
{
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | (block ? 0 : WNOHANG)) != 0 ||
        info.si_pid != pid)
        return false;
    kill(-pid, SIGKILL);
    return waitpid(pid, ws, 0) == pid;
}

// Reads both pipes until the child ends or the time runs out; returns the status.
static int collect(pid_t pid, int outFd, int errFd, int timeoutMs, RunResult* r)
{
    const auto start = std::chrono::steady_clock::now();
    std::vector<pollfd> fds{{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    bool killed = false;
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        if (elapsed > timeoutMs && !killed) {
            kill(pid, SIGKILL);
            kill(-pid, SIGKILL); // and what it started, which may hold the pipes
            killed = true;
        }
        poll(fds.data(), fds.size(), 50);
        for (size_t i = 0; i < fds.size(); i++) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0)
                continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
            } else {
                (i == 0 ? r->out : r->err).append(buf, static_cast<size_t>(n));
            }
        }
    }
    int ws = 0;
    reapWithGroup(pid, true, &ws);
    r->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return statusOf(ws);
}

ExecPlan execPlan(const std::vector<std::string>& argv, const std::vector<std::string>& env)
{
    ExecPlan plan;
    if (argv[0].rfind(VEXO_BIN_DIR, 0) == 0 || argv[0] == programPath("vexo"))
        plan.words = emulator();
    plan.words.insert(plan.words.end(), argv.begin(), argv.end());
    auto name = [](const std::string& e) { return e.substr(0, e.find('=') + 1); };
    for (char** e = environ; *e != nullptr; e++)
        if (std::none_of(env.begin(), env.end(), [&](const std::string& x) { return name(x) == name(*e); }))
            plan.envs.emplace_back(*e);
    plan.envs.insert(plan.envs.end(), env.begin(), env.end());
    std::string path = "/usr/bin:/bin";
    for (const auto& e : plan.envs)
        if (e.rfind("PATH=", 0) == 0)
            path = e.substr(5);
    plan.path = plan.words[0];
    if (plan.path.find('/') == std::string::npos) {
        std::istringstream dirs(path);
        for (std::string d; std::getline(dirs, d, ':');)
            if (access((d + "/" + plan.words[0]).c_str(), X_OK) == 0) {
                plan.path = d + "/" + plan.words[0];
                break;
            }
    }
    for (auto& w : plan.words)
        plan.argv.push_back(w.data());
    plan.argv.push_back(nullptr);
    for (auto& e : plan.envs)
        plan.envp.push_back(e.data());
    plan.envp.push_back(nullptr);
    return plan;
}

[[noreturn]] void execPlanned(const ExecPlan& plan)
{
    dieWithTestProcess(); // also when a test forked the child itself
    execve(plan.path.c_str(), plan.argv.data(), plan.envp.data());
    _exit(127);
}

RunResult runInChild(const std::function<int()>& fn, int timeoutMs)
{
    RunResult r;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return r;
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = forkChild();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        const int status = fn();
        fflush(stdout);
        _exit(status);
    }
    close(out[1]);
    close(err[1]);
    r.status = collect(pid, out[0], err[0], timeoutMs, &r);
    return r;
}

RunResult runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env, int timeoutMs)
{
    const ExecPlan plan = execPlan(argv, env);
    return runInChild([&]() -> int { execPlanned(plan); }, timeoutMs);
}

Background startProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                        const std::string& outPath, bool newSession)
{
    Background bg;
    bg.outPath = outPath;
    const ExecPlan plan = execPlan(argv, env);
    const pid_t pid = forkChild(newSession);
    if (pid == 0) {
        const int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        const int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        execPlanned(plan);
    }
    bg.pid = pid;
    return bg;
}

bool programRunning(Background* bg)
{
    if (bg->pid <= 0)
        return false;
    int ws = 0;
    if (!reapWithGroup(bg->pid, false, &ws))
        return true;
    bg->pid = -1; // reaped: never signal this pid again
    bg->status = statusOf(ws);
    return false;
}

bool waitFor(const std::function<bool()>& cond, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end)
            return cond();
        usleep(20000);
    }
    return true;
}

int stopProgram(Background* bg)
{
    if (bg->pid <= 0)
        return bg->status;
    int ws = 0;
    if (reapWithGroup(bg->pid, false, &ws)) {
        bg->pid = -1;
        return statusOf(ws);
    }
    kill(bg->pid, SIGTERM);
    for (int i = 0; i < 100; i++) {
        if (reapWithGroup(bg->pid, false, &ws)) {
            bg->pid = -1;
            return statusOf(ws);
        }
        usleep(10000);
    }
    kill(bg->pid, SIGKILL);
    reapWithGroup(bg->pid, true, &ws);
    bg->pid = -1;
    return statusOf(ws);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TempDir::TempDir()
{
    char tmpl[] = "/tmp/vexo-test-XXXXXX";
    if (mkdtemp(tmpl) != nullptr)
        path_ = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec; // no exception from a destructor
    if (!path_.empty())
        std::filesystem::remove_all(path_, ec);
}

std::string makeFakeShutdown(const std::string& dir, const std::string& log)
{
    const std::string bin = dir + "/fakebin";
    mkdir(bin.c_str(), 0755);
    const std::string script = bin + "/shutdown";
    std::ofstream f(script);
    f << "#!/bin/sh\necho \"$(date +%s) $*\" >> '" << log << "'\n";
    f.close();
    chmod(script.c_str(), 0755);
    return bin;
}

std::string hex(const std::vector<unsigned char>& bytes)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < bytes.size(); i++) {
        snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
        s += b;
    }
    return s;
}

void SimTest::SetUp() { cfg.intervalMs = 10; }

void SimTest::startSim()
{
    simServerUnref(sim); // a restart: a fresh board, as from power-up
    sim = simServerNew(cfg);
    ASSERT_TRUE(simServerStart(sim)) << strerror(errno);
    started = true;
}

void SimTest::TearDown()
{
    simServerUnref(sim);
    sim = nullptr;
}

RunResult SimTest::vexo(const std::vector<std::string>& args, int timeoutMs)
{
    if (!started)
        startSim();
    std::vector<std::string> argv{programPath("vexo")};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, {"VEXO_DEVICE=" + simServerSlavePath(sim)}, timeoutMs);
}

std::vector<VEXOrequest> SimTest::requests()
{
    std::vector<VEXOrequest> out;
    for (const auto& r : simRequests(sim))
        if (r.valid)
            out.push_back(r.req);
    return out;
}

bool SimTest::waitRequests(size_t n, int timeoutMs)
{
    return simWaitRequests(
        sim, timeoutMs,
        [](const std::vector<SimRequest>& all, void* want) {
            const auto valid = std::count_if(all.begin(), all.end(), [](const SimRequest& r) { return r.valid; });
            return static_cast<size_t>(valid) >= *static_cast<size_t*>(want);
        },
        &n);
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}
