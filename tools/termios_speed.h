// The termios speed constant of a standard baud rate, for the tools that open a line themselves (the
// simulator, the decoder); 0 for any other rate, which leaves the device at its own.
#pragma once

#include <termios.h>

#include <cstdint>

inline speed_t StandardSpeed(uint32_t baud) {
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return 0;
    }
}
