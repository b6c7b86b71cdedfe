#include "lib/Process.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

pid_t processExec(char* path, char** args)
{
    args[0] = path;
    int in[2];  // towards the child
    int out[2]; // back from the child
    if (pipe(in) != 0)
        return -1;
    if (pipe(out) != 0) {
        close(in[0]);
        close(in[1]);
        return -1;
    }
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[0]);
        close(in[1]);
        close(out[0]);
        close(out[1]);
        execvp(path, args);
        _exit(1);
    }
    if (pid > 0) {
        dup2(out[0], 0);
        dup2(in[1], 1);
    }
    close(in[0]);
    close(in[1]);
    close(out[0]);
    close(out[1]);
    return pid;
}

void processDaemonize()
{
    fflush(stdout);
    fflush(stderr);
    close(0);
    close(1);
    close(2);
    open("/", O_RDONLY, 0);
    dup2(0, 1);
    dup2(0, 2);
    const int tty = open("/dev/tty", O_RDWR | O_CLOEXEC, 2);
    if (tty >= 0) {
        ioctl(tty, TIOCNOTTY, 0);
        close(tty);
    }
}

void processOpenStandardStreams()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // The lowest free descriptor is fd itself: the lower ones are open.
        const int n = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (n >= 0 && n != fd) {
            dup2(n, fd);
            close(n);
        }
    }
}
