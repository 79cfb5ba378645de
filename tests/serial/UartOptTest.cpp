// Line settings: the mapping from settings to terminal attributes (a pure
// function), what a pseudo-terminal reads back after SetUartOpt (speed, stop
// bits, the odd-parity bit), and settings that are refused.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "QuorVelmarSerialLine.h"
#include "SerialTestSupport.h"

using namespace serial_test;

namespace {

const char kAttrFail[] = "######SetUartOpt tcgetattr fail!";

struct termios Built(int32_t speed, int32_t bits, char parity, int32_t stop)
{
    struct termios attributes;
    memset(&attributes, 0xA5, sizeof(attributes));  // everything must be set
    CQuorVelmarSerialLine::BuildUartAttributes(speed, bits, parity, stop, &attributes);
    return attributes;
}

TEST(UartOptMapping, Speeds)
{
    const struct {
        int32_t rate;
        speed_t constant;
    } kListed[] = {{300, B300},     {600, B600},     {1200, B1200},   {1800, B1800},
                   {2400, B2400},   {4800, B4800},   {9600, B9600},   {19200, B19200},
                   {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400}};
    for (const auto& entry : kListed) {
        struct termios a = Built(entry.rate, 8, 'N', 1);
        EXPECT_EQ(entry.constant, cfgetospeed(&a)) << entry.rate;
        EXPECT_EQ(entry.constant, cfgetispeed(&a)) << entry.rate;
    }
    for (int32_t unlisted : {14400, 0, -1, 299, 28800, 76800, 460800, 921600, 2147483647}) {
        struct termios a = Built(unlisted, 8, 'N', 1);
        EXPECT_EQ(B57600, cfgetospeed(&a)) << unlisted;
        EXPECT_EQ(B57600, cfgetispeed(&a)) << unlisted;
    }
}

TEST(UartOptMapping, DataBits)
{
    EXPECT_EQ(CS7, Built(57600, 7, 'N', 1).c_cflag & CSIZE);
    for (int32_t bits : {5, 6, 8, 9, 99, 0, -7})
        EXPECT_EQ(CS8, Built(57600, bits, 'N', 1).c_cflag & CSIZE) << bits;
}

TEST(UartOptMapping, Parity)
{
    for (char even : {'e', 'E'}) {
        struct termios a = Built(57600, 8, even, 1);
        EXPECT_EQ(tcflag_t(PARENB), a.c_cflag & (PARENB | PARODD)) << even;
        EXPECT_EQ(tcflag_t(INPCK | ISTRIP), a.c_iflag) << even;
    }
    for (char odd : {'o', 'O'}) {
        struct termios a = Built(57600, 8, odd, 1);
        EXPECT_EQ(tcflag_t(PARENB | PARODD), a.c_cflag & (PARENB | PARODD)) << odd;
        EXPECT_EQ(tcflag_t(INPCK | ISTRIP), a.c_iflag) << odd;
    }
    for (char none : {'n', 'N', 'x', '\0', ' ', 'S', 'M'}) {
        struct termios a = Built(57600, 8, none, 1);
        EXPECT_EQ(0u, a.c_cflag & (PARENB | PARODD)) << int(none);
        EXPECT_EQ(0u, a.c_iflag) << int(none);
    }
}

TEST(UartOptMapping, StopBits)
{
    EXPECT_EQ(tcflag_t(CSTOPB), Built(57600, 8, 'N', 2).c_cflag & CSTOPB);
    for (int32_t stop : {1, 0, 3, -2})
        EXPECT_EQ(0u, Built(57600, 8, 'N', stop).c_cflag & CSTOPB) << stop;
}

TEST(UartOptMapping, RawLineWithReceiverAndModemLinesIgnored)
{
    struct termios a = Built(9600, 7, 'E', 2);
    EXPECT_EQ(tcflag_t(INPCK | ISTRIP), a.c_iflag);
    EXPECT_EQ(0u, a.c_oflag);
    EXPECT_EQ(0u, a.c_lflag);
    EXPECT_EQ(tcflag_t(CREAD | CLOCAL | CS7 | PARENB | CSTOPB), a.c_cflag & ~tcflag_t(CBAUD));
    EXPECT_EQ(0, a.c_cc[VMIN]);
    EXPECT_EQ(0, a.c_cc[VTIME]);
    for (size_t i = 0; i < NCCS; ++i)
        EXPECT_EQ(0, a.c_cc[i]) << i;

    struct termios b = Built(57600, 8, 'N', 1);
    EXPECT_EQ(0u, b.c_iflag);
    EXPECT_EQ(tcflag_t(CREAD | CLOCAL | CS8), b.c_cflag & ~tcflag_t(CBAUD));
}

// ---- On a pseudo-terminal ------------------------------------------------------------

class UartOptPtyTest : public PtyLineFixture {
protected:
    UartOptPtyTest() : PtyLineFixture("/dev/ttyS9") {}
    struct termios ReadBack()
    {
        struct termios attributes;
        memset(&attributes, 0, sizeof(attributes));
        EXPECT_TRUE(ReadAttributes(pty.FollowerName(), &attributes));
        return attributes;
    }

};

TEST_F(UartOptPtyTest, SpeedAndStopBitsReadBack)
{
    OpenLine();
    const struct {
        int32_t speed;
        int32_t stop;
        speed_t constant;
    } kCases[] = {{14400, 1, B57600}, {57600, 2, B57600}, {1800, 1, B1800}, {230400, 2, B230400}, {9600, 0, B9600}};
    for (const auto& c : kCases) {
        LogMark mark;
        EXPECT_EQ(0, line.SetUartOpt(c.speed, 8, 'N', c.stop));
        struct termios a = ReadBack();
        EXPECT_EQ(c.constant, cfgetospeed(&a)) << c.speed;
        EXPECT_EQ(c.stop == 2, (a.c_cflag & CSTOPB) != 0) << c.speed;
        EXPECT_EQ(0u, a.c_lflag & (ICANON | ECHO | ISIG));
        EXPECT_EQ(0u, a.c_oflag & OPOST);
        char text[200];
        snprintf(text, sizeof(text),
                 "In SetUartOpt Uart1, i_nSpeed is <%d>, i_nBits is <8>, i_cEvent is <N>, i_nStop is <%d>", c.speed,
                 c.stop);
        EXPECT_TRUE(mark.Has(text)) << text;
    }
    // A pseudo-terminal keeps the odd-parity bit (it forces 8 bits, no parity).
    EXPECT_EQ(0, line.SetUartOpt(19200, 7, 'o', 1));
    struct termios a = ReadBack();
    EXPECT_EQ(B19200, cfgetospeed(&a));
    EXPECT_NE(0u, a.c_cflag & PARODD);
}

TEST_F(UartOptPtyTest, SetUartOptDiscardsUnreadInput)
{
    OpenLine();
    ASSERT_EQ(6, write(pty.LeaderFd(), "STALE\n", 6));
    SleepMs(20);
    EXPECT_EQ(0, line.SetUartOpt(9600, 8, 'N', 1));
    int fd = open(pty.FollowerName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    char buf[16];
    EXPECT_LE(read(fd, buf, sizeof(buf)), 0);  // nothing left to read
    close(fd);
}

TEST_F(UartOptPtyTest, RefusedWhenTheLineIsClosedAndTheSettingsStay)
{
    LogMark never;
    EXPECT_EQ(-2, line.SetUartOpt(9600, 8, 'N', 1));
    EXPECT_EQ(1u, never.Count(kAttrFail));

    OpenLine();
    ASSERT_EQ(0, line.SetUartOpt(115200, 8, 'N', 2));
    ASSERT_EQ(0, line.CloseUart());
    LogMark mark;
    EXPECT_EQ(-2, line.SetUartOpt(300, 8, 'N', 1));
    EXPECT_EQ(1u, mark.Count(kAttrFail));
    struct termios a = ReadBack();
    EXPECT_EQ(B115200, cfgetospeed(&a));
    EXPECT_NE(0u, a.c_cflag & CSTOPB);
}

TEST(UartOptRefused, NotATerminal)
{
    std::string path = DevicePath("ttyS8");
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
    CQuorVelmarSerialLine line("/dev/ttyS8", 2, CQuorVelmarLineFramer::kAuxiliaryLine, LineCollector::Sink);
    ASSERT_GT(line.OpenUart("/dev/ttyS8"), 2);
    LogMark mark;
    EXPECT_EQ(-2, line.SetUartOpt(9600, 8, 'N', 1));
    EXPECT_EQ(1u, mark.Count(kAttrFail));
    EXPECT_TRUE(mark.Has("In SetUartOpt Uart2, i_nSpeed is <9600>"));
    EXPECT_EQ(0, line.CloseUart());
    unlink(path.c_str());
}

TEST(UartOptRefused, MissingDevice)
{
    CQuorVelmarSerialLine line("/dev/ttyS7", 1, CQuorVelmarLineFramer::kMcuLine, LineCollector::Sink);
    LogMark mark;
    EXPECT_EQ(-1, line.OpenUart("/dev/ttyS7"));
    EXPECT_TRUE(mark.Has("###### Open Uartfd</dev/ttyS7> fail."));
    EXPECT_FALSE(line.IsUartOpen());
    EXPECT_EQ(0, line.GetUartFd());
    EXPECT_EQ(-2, line.SetUartOpt(9600, 8, 'N', 1));
    EXPECT_EQ(-2, line.CloseUart());
    EXPECT_TRUE(mark.Has("######It Can't CloseUart and Uart is <0>."));
}

}  // namespace
