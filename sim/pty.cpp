// The pseudo-terminal the simulated board talks on.
#include <cstdlib>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "sim/server_impl.h"

bool simOpenPty(SimServer* s)
{
    s->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s->master < 0)
        return false;
    char name[128];
    if (grantpt(s->master) != 0 || unlockpt(s->master) != 0 || ptsname_r(s->master, name, sizeof name) != 0 ||
        (s->slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
        close(s->master);
        s->master = -1;
        return false;
    }
    s->slavePath = name;
    // A raw line, but at 9600 baud and VMIN 1, so a host that restores the
    // settings it found can be told from one that leaves its own behind.
    termios t{};
    tcgetattr(s->slave, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(s->slave, TCSANOW, &t);
    fcntl(s->master, F_SETFL, O_NONBLOCK);
    return true;
}
