#include "SimLineSettings.h"

#include <cstdio>

bool operator==(const SimLineSettings& a, const SimLineSettings& b)
{
    return a.speed == b.speed && a.dataBits == b.dataBits && a.parity == b.parity &&
           a.stopBits == b.stopBits && a.oddBit == b.oddBit && a.receiver == b.receiver &&
           a.localLine == b.localLine && a.raw == b.raw && a.iflag == b.iflag &&
           a.oflag == b.oflag && a.cflag == b.cflag && a.lflag == b.lflag && a.vmin == b.vmin &&
           a.vtime == b.vtime;
}

long SimSpeedFromBaud(speed_t baud)
{
    static const struct {
        speed_t baud;
        long speed;
    } kSpeeds[] = {
        {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
        {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},
        {B1200, 1200},     {B1800, 1800},     {B2400, 2400},     {B4800, 4800},
        {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
        {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
    };
    for (const auto& entry : kSpeeds) {
        if (entry.baud == baud)
            return entry.speed;
    }
    return 0;
}

static int DataBitsOf(tcflag_t cflag)
{
    switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
    }
}

SimLineSettings SimDecodeLineSettings(const struct termios& attributes)
{
    SimLineSettings s;
    s.speed = SimSpeedFromBaud(cfgetospeed(&attributes));
    s.dataBits = DataBitsOf(attributes.c_cflag);
    s.oddBit = (attributes.c_cflag & PARODD) != 0;
    if (attributes.c_cflag & PARENB)
        s.parity = s.oddBit ? 'O' : 'E';
    s.stopBits = (attributes.c_cflag & CSTOPB) ? 2 : 1;
    s.receiver = (attributes.c_cflag & CREAD) != 0;
    s.localLine = (attributes.c_cflag & CLOCAL) != 0;
    s.iflag = attributes.c_iflag;
    s.oflag = attributes.c_oflag;
    s.cflag = attributes.c_cflag;
    s.lflag = attributes.c_lflag;
    s.raw = attributes.c_iflag == 0 && attributes.c_oflag == 0 && attributes.c_lflag == 0;
    s.vmin = attributes.c_cc[VMIN];
    s.vtime = attributes.c_cc[VTIME];
    return s;
}

std::string SimDescribeLineSettings(const SimLineSettings& settings)
{
    char text[64];
    snprintf(text, sizeof text, "%ld %d%c%d%s", settings.speed, settings.dataBits, settings.parity,
             settings.stopBits, (settings.parity == 'N' && settings.oddBit) ? " odd-bit" : "");
    return text;
}
