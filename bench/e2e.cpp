// End-to-end wall time of vexo against the simulated board (20 ms interval),
// beside the wire-limited minimum: the time until the simulator has sent the
// frames the command must see. Both commands need two status records after
// they start (the current status, then one more for the report, or the one
// that confirms the request), so the minimum of a run is the end of the
// second frame that started after the command did.
//   bench_e2e PATH-TO-VEXO [RUNS]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sim/server.h"

extern char** environ;

struct Run {
    double wall;    // start to exit, s
    double minimum; // start to the end of the second frame sent after it, s
};

static double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

static Run once(SimServer* sim, const std::string& vexo, const std::vector<std::string>& args)
{
    std::vector<std::string> words{vexo};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    const double t0 = simServerNow(sim);
    pid_t pid = 0;
    if (posix_spawn(&pid, vexo.c_str(), &fa, nullptr, argv.data(), environ) != 0) {
        perror("posix_spawn");
        exit(1);
    }
    int ws = 0;
    waitpid(pid, &ws, 0);
    const double t1 = simServerNow(sim);
    posix_spawn_file_actions_destroy(&fa);
    if (!WIFEXITED(ws) || WEXITSTATUS(ws) != 0) {
        fprintf(stderr, "vexo failed\n");
        exit(1);
    }
    constexpr double frameTime = 21 * 10.0 / 115200.0;
    int seen = 0;
    double minimum = 0;
    for (double end : simReplyEnds(sim)) {
        if (end - frameTime >= t0 && ++seen == 2) {
            minimum = end - t0;
            break;
        }
    }
    return Run{t1 - t0, minimum};
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: bench_e2e PATH-TO-VEXO [RUNS]\n");
        return 2;
    }
    const std::string vexo = argv[1];
    const int runs = argc > 2 ? std::atoi(argv[2]) : 31;
    SimConfig cfg;
    cfg.intervalMs = 20;
    SimServer* sim = simServerNew(cfg);
    if (!simServerStart(sim))
        return 1;
    setenv("VEXO_DEVICE", simServerSlavePath(sim).c_str(), 1);
    printf("%-16s %9s %12s %8s %13s\n", "command", "median ms", "minimum ms", "ratio", "overhead ms");
    for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"--pwm1", "1"}}) {
        std::vector<double> wall, minimum, ratio, overhead;
        for (int i = 0; i < runs; i++) {
            const Run r = once(sim, vexo, args);
            wall.push_back(r.wall * 1000);
            minimum.push_back(r.minimum * 1000);
            ratio.push_back(r.wall / r.minimum);
            overhead.push_back((r.wall - r.minimum) * 1000);
        }
        printf("%-16s %9.1f %12.1f %8.2f %13.2f\n", args.empty() ? "vexo" : "vexo --pwm1 1", median(wall),
               median(minimum), median(ratio), median(overhead));
    }
    simServerUnref(sim);
    return 0;
}
