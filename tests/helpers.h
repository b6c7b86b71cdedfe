// Test helpers: run programs with a time limit and collect their output,
// run code in a child process, and a fixture with a simulated board.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/types.h>

#include "sim/server.h"

struct RunResult {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
    double seconds = 0;
};

// Path of a built program (vexo, vexo-sim); for vexo, $VEXO_TEST_PROGRAM
// when set and not empty, so that another build of it can be put under test.
std::string programPath(const char* name);

// The words that run a built program: its path, behind the emulator when
// the tests run on another processor. Programs started by the helpers get
// the emulator themselves; this is for commands handed to another program.
std::vector<std::string> programCommand(const char* name);

// Runs argv with extra environment entries ("NAME=value"); kills it after
// timeoutMs and reports 128 + SIGKILL then.
RunResult runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                     int timeoutMs = 10000);

// What a child needs to run a program, made before the fork: the test
// process has threads (the simulator serves on one), and a child forked
// from it must not allocate (an allocator lock another thread held at the
// fork stays taken in the child). Built programs run behind the emulator.
struct ExecPlan {
    std::string path;               // found on the PATH the program gets
    std::vector<std::string> words; // emulator words, then argv
    std::vector<std::string> envs;  // the environment, with env's entries in place
    std::vector<char*> argv;        // into words
    std::vector<char*> envp;        // into envs
};
// The plan for argv with extra environment entries ("NAME=value").
ExecPlan execPlan(const std::vector<std::string>& argv, const std::vector<std::string>& env);
// In a forked child: runs the plan; never returns.
[[noreturn]] void execPlanned(const ExecPlan& plan);

// Runs fn in a forked child with standard output captured; fn's result is the exit status.
RunResult runInChild(const std::function<int()>& fn, int timeoutMs = 10000);

// A started background program; its standard output and error go to files.
struct Background {
    pid_t pid = -1;  // -1 once reaped
    int status = -1; // exit status once reaped
    std::string outPath;
};

// Starts argv in the background with extra environment entries.
Background startProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                        const std::string& outPath, bool newSession = false);

// True while the background program has not ended.
bool programRunning(Background* bg);

// The lines of text, without their line ends.
std::vector<std::string> lines(const std::string& text);

// Polls cond every 20 ms until it holds or timeoutMs passes; returns its last value.
bool waitFor(const std::function<bool()>& cond, int timeoutMs);

// Kills (SIGTERM, then SIGKILL) and reaps a background program; returns its status.
int stopProgram(Background* bg);

// Whole content of a file ("" when missing).
std::string readFile(const std::string& path);

// A fresh temporary directory, removed with all it holds when the object
// goes, also when an assertion ends the test early. Nothing else is ever
// removed: when no directory could be made, path() is empty.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A directory with a fake "shutdown" that appends its arguments to log; returns the directory.
std::string makeFakeShutdown(const std::string& dir, const std::string& log);

// Hex text of bytes, "7E 41 7F".
std::string hex(const std::vector<unsigned char>& bytes);

// Owns one reference to a simulator handle.
struct SimUnref {
    void operator()(SimServer* s) const { simServerUnref(s); }
};
using SimHandle = std::unique_ptr<SimServer, SimUnref>;

// Runs vexo against the fixture's board.
class SimTest : public ::testing::Test {
protected:
    SimServer* sim = nullptr; // made by startSim
    SimConfig cfg;
    void SetUp() override;
    void TearDown() override;
    // Starts the board (tests may change cfg first).
    void startSim();
    RunResult vexo(const std::vector<std::string>& args, int timeoutMs = 10000);
    // The valid requests received so far.
    std::vector<VEXOrequest> requests();
    // Sleeps on the simulator's condition variable until it holds n valid
    // requests; false after timeoutMs.
    bool waitRequests(size_t n, int timeoutMs = 5000);
    bool started = false;
};
