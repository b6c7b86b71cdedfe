// Child programs of the supervisor (event hooks, the shutdown command): each
// starts with nothing of ours open above standard error, and nothing waits
// for it beyond its exec.
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "avr/vexo_field.h"

namespace {

// In the child: closes every descriptor above 2 but keep.
void closeAbove2(int keep)
{
#ifdef SYS_close_range
    // A kernel without it (or a filter that refuses it) leaves the loop below.
    const bool low = keep <= 3 || syscall(SYS_close_range, 3u, static_cast<unsigned>(keep - 1), 0u) == 0;
    if (low && syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0u, 0u) == 0)
        return;
#endif
    rlimit lim{};
    long max =
        getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY ? static_cast<long>(lim.rlim_cur) : 65536;
    if (max > (1L << 20))
        max = 1L << 20;
    for (long fd = 3; fd < max; fd++)
        if (fd != keep)
            close(static_cast<int>(fd));
}

[[noreturn]] void child(const VEXOspawnRules& rules, const char* path, char* const argv[], char* const envp[],
                        int report)
{
    constexpr int RESET[] = {SIGHUP, SIGPIPE, SIGTERM, SIGINT};
    for (int s : RESET)
        if (rules.defaultSignals || s == SIGTERM || s == SIGINT)
            signal(s, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (rules.newSession)
        setsid();
    if (rules.nullStdio) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open("/dev/null", O_WRONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        if (in > 2)
            close(in);
        if (out > 2)
            close(out);
    }
    closeAbove2(report);
    execve(path, argv, envp);
    const int e = errno;
    (void)!write(report, &e, sizeof e);
    _exit(127);
}

} // namespace

pid_t VEXOspawn(const char* path, char* const argv[], char* const envp[], VEXOspawnRules rules, int* error)
{
    // The exec's failure comes back over a pipe that the exec itself closes.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        *error = errno;
        return -1;
    }
    // No handler of ours may run in the child before its exec.
    sigset_t ending, saved;
    sigemptyset(&ending);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGINT);
    sigprocmask(SIG_BLOCK, &ending, &saved);
    const pid_t pid = fork();
    if (pid == 0)
        child(rules, path, argv, envp, report[1]);
    const int forkError = errno;
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    close(report[1]);
    if (pid < 0) {
        close(report[0]);
        *error = forkError;
        return -1;
    }
    int e = 0;
    ssize_t r;
    do
        r = read(report[0], &e, sizeof e);
    while (r < 0 && errno == EINTR);
    close(report[0]);
    if (r == static_cast<ssize_t>(sizeof e)) {
        waitpid(pid, nullptr, 0);
        *error = e;
        return -1;
    }
    *error = 0;
    return pid;
}

pid_t VEXOshutdownStart()
{
    // As system(3) runs it, but without waiting for it.
    static char sh[] = "sh", c[] = "-c";
    char* argv[] = {sh, c, const_cast<char*>(VEXO_SHUTDOWN_COMMAND), nullptr};
    // Said before it starts: the host may be gone before it has ended.
    VEXOlog(LOG_CRIT, "running \"%s\"", VEXO_SHUTDOWN_COMMAND);
    int error = 0;
    const pid_t pid = VEXOspawn("/bin/sh", argv, environ, VEXOspawnRules{}, &error);
    if (pid < 0)
        VEXOlog(LOG_CRIT, "ran \"%s\": exit status %d", VEXO_SHUTDOWN_COMMAND, -1);
    return pid;
}

void VEXOshutdownReap(pid_t* pid)
{
    if (*pid <= 0)
        return;
    int ws = 0;
    if (waitpid(*pid, &ws, WNOHANG) != *pid)
        return;
    VEXOlog(LOG_CRIT, "ran \"%s\": exit status %d", VEXO_SHUTDOWN_COMMAND, WIFEXITED(ws) ? WEXITSTATUS(ws) : -1);
    *pid = 0;
}
