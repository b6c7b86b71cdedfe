#include "lib/term.h"

void termConfigRaw(int fd, struct termios* saved)
{
    tcgetattr(fd, saved);
    struct termios newtio = *saved;
    cfsetispeed(&newtio, B115200);
    cfsetospeed(&newtio, B115200);
    newtio.c_cflag |= CLOCAL | CREAD;
    newtio.c_cflag &= ~(PARENB | CSTOPB | CRTSCTS | CSIZE);
    newtio.c_cflag |= CS8;
    newtio.c_lflag = 0;
    newtio.c_iflag &= ~(INLCR | IGNCR | ICRNL | IXON | IXANY | IXOFF);
    newtio.c_oflag &= ~(OPOST | ONLCR | OCRNL | ONLRET);
    newtio.c_cc[VTIME] = 0;
    newtio.c_cc[VMIN] = 0;
    tcflush(fd, TCIFLUSH);
    tcsetattr(fd, TCSANOW, &newtio);
}
