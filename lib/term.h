// Raw serial line set-up: 115200 baud, 8N1, no flow control, reads that never wait.
#pragma once

#include <termios.h>

// Saves the terminal settings of fd in *saved, then applies the raw settings
// and discards unread input. Results of the terminal calls are not checked.
void termConfigRaw(int fd, struct termios* saved);
