// One serial line of velmard: see QuorVelmarSerialLine.h.
#include "QuorVelmarSerialLine.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "BoardPath.h"
#include "LightLog.h"
#include "OSThread.h"
#include "QuorVelmarFunction.h"

namespace {

const char kSrc[] = "src/QuorVelmarSerialLine";

// Descriptor 0 means "closed": a line that the system gives descriptor 0
// (standard input closed) is moved above the standard descriptors.
int MoveOffZero(int fd)
{
    if (fd != 0)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

ssize_t WriteOnce(int fd, const char* bytes, size_t length)
{
    ssize_t result;
    do {
        result = write(fd, bytes, length);
    } while (result < 0 && errno == EINTR);
    return result;
}

}  // namespace

// A use of the descriptor for the time of one call; Fd() is 0 when the line
// is closed (the use is then not held).
class CQuorVelmarSerialLine::LineUse {
public:
    explicit LineUse(CQuorVelmarSerialLine& line) : m_line(line), m_fd(line.AcquireFd()) {}
    ~LineUse()
    {
        if (m_fd > 0)
            m_line.ReleaseFd();
    }
    LineUse(const LineUse&) = delete;
    LineUse& operator=(const LineUse&) = delete;
    int Fd() const { return m_fd; }

private:
    CQuorVelmarSerialLine& m_line;
    int32_t m_fd;
};

CQuorVelmarSerialLine::CQuorVelmarSerialLine(const char* device, int32_t uartNo, CQuorVelmarLineFramer::Kind kind,
                                             CQuorVelmarLineFramer::LineSinkFn sink)
    : m_pDevice(device), m_s32UartNo(uartNo), m_s32Uartfd(0), m_bUartOpen(true), m_s32Users(0),
      m_Framer(kind, sink)
{
}

CQuorVelmarSerialLine::~CQuorVelmarSerialLine()
{
    CloseHeldDescriptor();
}

// ---- The descriptor ------------------------------------------------------------------

int32_t CQuorVelmarSerialLine::AcquireFd()
{
    // Counted first, then read: a closer that took the descriptor away after
    // this read sees the count and waits for the release.
    m_s32Users.fetch_add(1);
    int32_t fd = m_s32Uartfd.load();
    if (fd > 0 && m_bUartOpen.load())
        return fd;
    m_s32Users.fetch_sub(1);
    return 0;
}

void CQuorVelmarSerialLine::ReleaseFd()
{
    m_s32Users.fetch_sub(1);
}

// Takes the descriptor away from new users and waits until the calls still
// using it have returned; the caller closes what is returned (0: none).
int32_t CQuorVelmarSerialLine::TakeDescriptorAway()
{
    int32_t fd = m_s32Uartfd.exchange(0);
    if (fd > 0)
        m_ReaderWake.Wake();  // a receive loop waiting on fd lets go of it
    while (m_s32Users.load() != 0)
        OSThread::Sleep(1);
    return fd;
}

void CQuorVelmarSerialLine::CloseHeldDescriptor()
{
    int32_t fd = TakeDescriptorAway();
    if (fd > 0)
        close(fd);
}

bool CQuorVelmarSerialLine::IsUartOpen() const
{
    return m_s32Uartfd.load() > 0 && m_bUartOpen.load();
}

int CQuorVelmarSerialLine::OpenUart(const char* path)
{
    OSMutexLocker locker(&m_LineMutex);
    CloseHeldDescriptor();
    m_bUartOpen.store(true);
    char resolved[BoardPath::kMaxRoot + 64];
    int fd = -1;
    if (path != nullptr && BoardPath::Resolve(path, resolved) == 0)
        fd = MoveOffZero(open(resolved, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (fd < 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Open Uartfd<%s> fail.", m_pDevice);
        return -1;
    }
    LightLogExt(20000, 0, kSrc, __LINE__, "OpenUart is OK and Uart is <%d>.", fd);
    m_s32Uartfd.store(fd);
    OSThread::Sleep(kOpenPauseMs);
    return fd;
}

int CQuorVelmarSerialLine::OpenOwnDevice()
{
    int fd = OpenUart(m_pDevice);
    if (fd < 0)
        LightLogExt(40000, 0, kSrc, __LINE__, "######OpenUart fail and s32Ret is <%d>", fd);
    return fd;
}

int CQuorVelmarSerialLine::CloseUart()
{
    OSMutexLocker locker(&m_LineMutex);
    if (m_s32Uartfd.load() == 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######It Can't CloseUart and Uart is <%d>.", 0);
        return -2;
    }
    m_bUartOpen.store(false);
    int32_t fd = TakeDescriptorAway();
    if (fd > 0)
        close(fd);
    OSThread::Sleep(kOpenPauseMs);
    LightLogExt(10000, 0, kSrc, __LINE__, "CloseUart and Uart is <%d>.", fd);
    return 0;
}

// ---- Line settings -------------------------------------------------------------------

speed_t CQuorVelmarSerialLine::UartSpeedConstant(int32_t speed)
{
    static const struct {
        int32_t rate;
        speed_t constant;
    } kSpeeds[] = {{300, B300},     {600, B600},     {1200, B1200},   {1800, B1800},
                   {2400, B2400},   {4800, B4800},   {9600, B9600},   {19200, B19200},
                   {38400, B38400}, {115200, B115200}, {230400, B230400}};
    for (const auto& entry : kSpeeds) {
        if (entry.rate == speed)
            return entry.constant;
    }
    return B57600;
}

void CQuorVelmarSerialLine::BuildUartAttributes(int32_t speed, int32_t bits, char parity, int32_t stop,
                                                struct termios* attributes)
{
    memset(attributes, 0, sizeof(*attributes));
    attributes->c_cflag = CREAD | CLOCAL;
    attributes->c_cflag |= bits == 7 ? CS7 : CS8;
    if (parity == 'O' || parity == 'o' || parity == 'E' || parity == 'e') {
        attributes->c_cflag |= PARENB;
        if (parity == 'O' || parity == 'o')
            attributes->c_cflag |= PARODD;
        attributes->c_iflag |= INPCK | ISTRIP;
    }
    if (stop == 2)
        attributes->c_cflag |= CSTOPB;
    attributes->c_cc[VTIME] = 0;
    attributes->c_cc[VMIN] = 0;
    speed_t constant = UartSpeedConstant(speed);
    cfsetispeed(attributes, constant);
    cfsetospeed(attributes, constant);
}

int CQuorVelmarSerialLine::SetUartOpt(int32_t speed, int32_t bits, char parity, int32_t stop)
{
    LightLogExt(20000, 0, kSrc, __LINE__,
                "In SetUartOpt Uart%d, i_nSpeed is <%d>, i_nBits is <%d>, i_cEvent is <%c>, i_nStop is <%d>",
                m_s32UartNo, speed, bits, parity != '\0' ? parity : ' ', stop);
    OSMutexLocker locker(&m_LineMutex);
    LineUse use(*this);
    struct termios current;
    if (use.Fd() <= 0 || tcgetattr(use.Fd(), &current) != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######SetUartOpt tcgetattr fail!");
        return -2;
    }
    struct termios wanted;
    BuildUartAttributes(speed, bits, parity, stop, &wanted);
    tcflush(use.Fd(), TCIFLUSH);
    if (tcsetattr(use.Fd(), TCSANOW, &wanted) != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######SetUartOpt tcgetattr fail!");
        return -2;
    }
    m_s32Speed.store(UartSpeedConstant(speed) == B57600 ? 57600 : speed);
    return 0;
}

// ---- Writing -------------------------------------------------------------------------

int CQuorVelmarSerialLine::UartWrite(const char* text, uint32_t length)
{
    if (length == 0)
        return 0;
    if (text == nullptr)
        return -2;
    print_mem(20000, text, length);
    uint32_t written = 0;
    int failures = 0;
    for (;;) {
        ssize_t result;
        int fd;
        {
            LineUse use(*this);
            fd = use.Fd();
            if (fd <= 0) {
                LightLogExt(40000, 0, kSrc, __LINE__, "######UartWrite refused, %s is not open, Len is <%u>.",
                            m_pDevice, length);
                return -2;
            }
            result = WriteOnce(fd, text + written, length - written);
        }
        if (result > 0) {
            written += static_cast<uint32_t>(result);
            if (written < length)
                continue;  // a short write: go on with the rest
            LightLogExt(10000, 0, kSrc, __LINE__, "write m_s32Uartfd<%d>, Len is <%d> finish!", fd, (int)written);
            return static_cast<int>(written);
        }
        if (LogWriteFailure(static_cast<long>(result), ++failures) != 0)
            return -2;
        OSThread::Sleep(kWriteRetryPauseMs);
        print_mem(20000, text + written, length - written);
    }
}

// Logs one failed write; -2 once the tries are used up.
int CQuorVelmarSerialLine::LogWriteFailure(long result, int failures)
{
    LightLogExt(40000, 0, kSrc, __LINE__, "###### write m_Uartfd fail, sRet is <%d>.", (int)result);
    if (failures < kWriteTries)
        return 0;
    LightLogExt(40000, 0, kSrc, __LINE__, "###### aready retry write 3th...........");
    return -2;
}

// ---- Receiving -----------------------------------------------------------------------

int CQuorVelmarSerialLine::UartRead()
{
    {
        LineUse use(*this);
        if (use.Fd() <= 0)
            return 0;
        tcflush(use.Fd(), TCIOFLUSH);
    }
    char burst[kBurstSize + 1];
    uint32_t have = 0;
    bool burstOpen = false;
    for (;;) {
        PassResult pass = WaitAndRead(burst, &have, burstOpen);
        // A pause, a failure or the close ends the burst; a wake-up does not.
        bool ended = pass == kPassQuiet || pass == kPassFailed || pass == kPassClosed;
        if (have == kBurstSize)
            HandOverBurst(burst, &have, false);  // at once: the burst may go on
        else if (ended && have > 0)
            HandOverBurst(burst, &have, true);
        else if (ended && burstOpen)
            m_Framer.EndOfBurst();
        if (pass == kPassData)
            burstOpen = true;
        else if (ended)
            burstOpen = false;
        if (pass == kPassClosed)
            return 0;
        if (pass == kPassFailed)
            OSThread::Sleep(kReadWaitMs);  // a line in error is not polled in a tight loop
    }
}

// One wait and, when bytes are there, one read into the free part of the
// burst buffer. While a burst is open the wait lasts at most 5 ms (the
// quiet gap that ends it); otherwise it lasts until the line is readable or
// its descriptor changes (kPassWoken).
CQuorVelmarSerialLine::PassResult CQuorVelmarSerialLine::WaitAndRead(char* burst, uint32_t* have, bool burstOpen)
{
    LineUse use(*this);
    if (use.Fd() <= 0)
        return kPassClosed;
    struct pollfd wait[2] = {{use.Fd(), POLLIN, 0}, {m_ReaderWake.Fd(), POLLIN, 0}};
    nfds_t count = m_ReaderWake.IsValid() ? 2 : 1;
    int ready = poll(wait, count, burstOpen || count == 1 ? kReadWaitMs : -1);
    if (ready == 0)
        return kPassQuiet;
    if (ready < 0)
        return errno == EINTR ? kPassWoken : kPassFailed;
    if (count == 2 && (wait[1].revents & POLLIN) != 0) {
        m_ReaderWake.Drain();
        return kPassWoken;
    }
    if ((wait[0].revents & POLLIN) == 0)
        return kPassFailed;
    ssize_t got = read(use.Fd(), burst + *have, kBurstSize - *have);
    if (got <= 0)
        return got < 0 && errno == EINTR ? kPassWoken : kPassFailed;
    *have += static_cast<uint32_t>(got);
    return kPassData;
}

// Frames what the burst buffer holds: a whole burst once the line paused,
// else a part of a burst that goes on.
void CQuorVelmarSerialLine::HandOverBurst(char* burst, uint32_t* have, bool ended)
{
    burst[*have] = '\0';
    LightLogExt(10000, 0, kSrc, __LINE__, "ReadUartBuff Len is <%d> content is <%s>", (int)*have, burst);
    uint16_t length = static_cast<uint16_t>(*have);
    if (ended)
        m_Framer.PorcessUartData(burst, length);
    else
        m_Framer.PorcessUartPart(burst, length);
    *have = 0;
}

int CQuorVelmarSerialLine::PorcessUartData(const char* bytes, uint16_t length)
{
    return m_Framer.PorcessUartData(bytes, length);
}
