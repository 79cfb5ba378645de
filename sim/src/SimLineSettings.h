// Line settings read back from terminal attributes.
//
// A pseudo-terminal keeps the speed, the stop bits and the odd-parity bit of
// what a client applies; Linux forces 8 data bits and no parity on it. The
// decoding below is a pure function of the attributes, so it is the same for
// a real serial line.
#ifndef VELMAR_SIM_SIMLINESETTINGS_H
#define VELMAR_SIM_SIMLINESETTINGS_H

#include <termios.h>

#include <string>

struct SimLineSettings {
    long speed = 0;         // bit/s of the output speed; 0 when unknown
    int dataBits = 8;       // 5 to 8
    char parity = 'N';      // 'N', 'E' or 'O' (parity enabled decides, then PARODD)
    int stopBits = 1;       // 1 or 2
    bool oddBit = false;    // PARODD, kept by a pseudo-terminal even without parity
    bool receiver = false;  // CREAD
    bool localLine = false; // CLOCAL
    bool raw = false;       // no input, output or local processing at all
    tcflag_t iflag = 0;
    tcflag_t oflag = 0;
    tcflag_t cflag = 0;
    tcflag_t lflag = 0;
    unsigned vmin = 0;
    unsigned vtime = 0;
};

bool operator==(const SimLineSettings& a, const SimLineSettings& b);
inline bool operator!=(const SimLineSettings& a, const SimLineSettings& b) { return !(a == b); }

// The bit rate of a termios speed constant; 0 for B0 or an unknown constant.
long SimSpeedFromBaud(speed_t baud);

SimLineSettings SimDecodeLineSettings(const struct termios& attributes);

// "57600 8N1" (plus " odd-bit" when PARODD is set without parity).
std::string SimDescribeLineSettings(const SimLineSettings& settings);

#endif
