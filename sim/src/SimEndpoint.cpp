#include "SimEndpoint.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>

#include "SimText.h"

namespace {

constexpr size_t kMaxLines = 10000;
constexpr size_t kMaxBytes = 1 << 20;
constexpr size_t kMaxChunks = 4096;
constexpr size_t kMaxWrites = 4096;
// Bytes without CR LF are logged once the daemon has been quiet this long.
constexpr int64_t kResidueQuietMs = 100;
// Paced reading takes at most this many bytes at a time (about 2.8 ms of a
// 57 600 bit/s line).
constexpr size_t kPacedChunk = 16;
// A paced reader later than this starts counting afresh (the line was idle).
constexpr int64_t kPacedCatchUpUs = 20000;

int64_t NowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

template <typename T>
void PushBounded(std::deque<T>* records, T record, size_t limit)
{
    records->push_back(std::move(record));
    while (records->size() > limit)
        records->pop_front();
}

bool ParseOnOff(const std::string& text, bool* value)
{
    if (SimEqualsNoCase(text, "on")) {
        *value = true;
        return true;
    }
    if (SimEqualsNoCase(text, "off")) {
        *value = false;
        return true;
    }
    return false;
}

std::string ReplyKey(const std::string& request)
{
    return SimToUpper(SimTrim(request));
}

} // namespace

SimEndpoint::SimEndpoint(const char* name) : m_name(name) {}

SimEndpoint::~SimEndpoint()
{
    Stop();
}

int SimEndpoint::Start(const SimEndpointOptions& options)
{
    if (m_threadStarted)
        return -EBUSY;
    int result = m_log.Open(options.trafficLogPath);
    if (result != 0)
        return result;
    result = m_pty.Open(options.linkPath);
    if (result != 0) {
        m_log.Close();
        return result;
    }
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) {
        result = -errno;
        Stop();
        return result;
    }
    m_stop = false;
    m_running = true;
    int error = pthread_create(&m_thread, nullptr, &SimEndpoint::ThreadMain, this);
    if (error != 0) {
        m_running = false;
        Stop();
        return -error;
    }
    m_threadStarted = true;
    m_log.Note(m_name + " started: " + m_pty.FollowerName() + " linked at " + m_pty.LinkPath());
    return 0;
}

void SimEndpoint::Stop()
{
    if (m_threadStarted) {
        m_stop = true;
        Wake();
        pthread_join(m_thread, nullptr);
        m_threadStarted = false;
        m_log.Note(m_name + " stopped");
    }
    m_running = false;
    m_pty.Close();
    if (m_wakeFd >= 0)
        close(m_wakeFd);
    m_wakeFd = -1;
    m_log.Close();
}

void* SimEndpoint::ThreadMain(void* self)
{
    static_cast<SimEndpoint*>(self)->IoLoop();
    return nullptr;
}

void SimEndpoint::IoLoop()
{
    while (!m_stop.load()) {
        struct pollfd fds[2];
        fds[0].fd = m_pty.LeaderFd();
        fds[0].events = PacedReadWaitUs() > 0 ? 0 : POLLIN;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_waitWritable)
                fds[0].events |= POLLOUT;
        }
        fds[1].fd = m_wakeFd;
        fds[1].events = POLLIN;
        fds[0].revents = fds[1].revents = 0;
        int ready = poll(fds, 2, PollTimeoutMs());
        if (ready < 0 && errno != EINTR)
            break;
        if (fds[1].revents & POLLIN) {
            uint64_t count;
            ssize_t ignored = read(m_wakeFd, &count, sizeof count);
            (void)ignored;
        }
        if (fds[0].revents & POLLIN)
            ReadAvailable();
        else if (fds[0].revents & (POLLHUP | POLLERR))
            usleep(10000); // no follower open; cannot happen while we hold one
        if (fds[0].revents & POLLOUT) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_waitWritable = false;
        }
        FlushDue();
        LogQuietResidue();
    }
}

int SimEndpoint::PollTimeoutMs()
{
    int64_t now = SimNowMs();
    int64_t timeout = -1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_out.empty() && !m_waitWritable)
            timeout = std::max<int64_t>(0, DueMs(m_out.front()) - now);
    }
    if (!m_framer.Pending().empty() && !m_residueLogged) {
        int64_t quiet = std::max<int64_t>(0, m_lastReadMs + kResidueQuietMs - now);
        timeout = timeout < 0 ? quiet : std::min(timeout, quiet);
    }
    int64_t paced = PacedReadWaitUs();
    if (paced > 0) {
        int64_t ms = (paced + 999) / 1000;
        timeout = timeout < 0 ? ms : std::min(timeout, ms);
    }
    return static_cast<int>(std::min<int64_t>(timeout, 60000));
}

// Microseconds until the paced reader may read again (0: now, or not paced).
int64_t SimEndpoint::PacedReadWaitUs() const
{
    if (m_readSpeed.load() <= 0)
        return 0;
    return std::max<int64_t>(0, m_nextReadUs - NowUs());
}

// One read of at most kPacedChunk bytes; the next may follow once the line
// has carried them. False when nothing was read.
bool SimEndpoint::ReadPaced()
{
    char buffer[kPacedChunk];
    ssize_t n;
    do {
        n = read(m_pty.LeaderFd(), buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return false;
    // A wake-up a little late does not slow the line: the next read is due
    // after the bytes' time counted from when this one was due.
    int speed = std::max(1, m_readSpeed.load());
    int64_t now = NowUs();
    int64_t from = now - m_nextReadUs > kPacedCatchUpUs ? now : m_nextReadUs;
    m_nextReadUs = from + n * 10 * 1000000LL / speed;
    m_lastReadMs = SimNowMs();
    RecordChunk(buffer, static_cast<size_t>(n));
    OnBytes(buffer, static_cast<size_t>(n));
    return true;
}

void SimEndpoint::SetReadSpeed(int bitsPerSecond)
{
    m_readSpeed.store(std::max(0, bitsPerSecond));
    Wake();
}

void SimEndpoint::ReadAvailable()
{
    if (m_readSpeed.load() > 0) {
        ReadPaced();
        return;
    }
    char buffer[4096];
    for (;;) {
        ssize_t n = read(m_pty.LeaderFd(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        m_lastReadMs = SimNowMs();
        RecordChunk(buffer, static_cast<size_t>(n));
        OnBytes(buffer, static_cast<size_t>(n));
    }
}

void SimEndpoint::RecordChunk(const char* data, size_t length)
{
    SimChunk chunk;
    chunk.atMs = SimNowMs();
    chunk.bytes.assign(data, length);
    chunk.settings = LineSettings();
    if (!m_settingsLogged || chunk.settings != m_loggedSettings) {
        m_log.Note("line settings " + SimDescribeLineSettings(chunk.settings));
        m_loggedSettings = chunk.settings;
        m_settingsLogged = true;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bytes.append(data, length);
    if (m_bytes.size() > kMaxBytes)
        m_bytes.erase(0, m_bytes.size() - kMaxBytes);
    m_byteCount += length;
    PushBounded(&m_chunks, std::move(chunk), kMaxChunks);
    m_changed.notify_all();
}

void SimEndpoint::OnBytes(const char* data, size_t length)
{
    std::vector<std::string> lines;
    m_framer.Push(data, length, &lines);
    if (!lines.empty())
        m_residueLogged = false;
    for (const std::string& line : lines)
        HandleLine(line);
}

void SimEndpoint::HandleLine(const std::string& line)
{
    m_log.Line("daemon->" + m_name, line);
    std::vector<std::string> replies;
    bool fixed = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        PushBounded(&m_unread, line, kMaxLines);
        PushBounded(&m_lines, line, kMaxLines);
        m_changed.notify_all();
        if (m_silent)
            return;
        auto it = m_replies.find(ReplyKey(line));
        if (it != m_replies.end()) {
            replies = it->second;
            fixed = true;
        }
    }
    if (!fixed)
        replies = Answer(line);
    SendReplies(replies);
}

void SimEndpoint::SendReplies(const std::vector<std::string>& replies)
{
    if (replies.empty())
        return;
    std::string burst;
    for (const std::string& reply : replies)
        burst += reply + "\r\n";
    int delayMs, gapMs;
    size_t cutAt;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        delayMs = m_replyDelayMs;
        cutAt = m_replyCutAt;
        gapMs = m_replyGapMs;
    }
    if (cutAt > 0 && cutAt < burst.size())
        SendPieces({burst.substr(0, cutAt), burst.substr(cutAt)}, gapMs, delayMs);
    else
        Send(burst, delayMs);
}

void SimEndpoint::LogQuietResidue()
{
    if (m_framer.Pending().empty() || m_residueLogged)
        return;
    if (SimNowMs() - m_lastReadMs < kResidueQuietMs)
        return;
    m_log.Bytes("daemon->" + m_name, m_framer.Pending());
    m_residueLogged = true;
}

void SimEndpoint::FlushDue()
{
    std::vector<std::string> written, failed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        while (!m_out.empty() && !m_waitWritable) {
            OutItem& head = m_out.front();
            if (DueMs(head) > SimNowMs())
                break;
            ssize_t n = write(m_pty.LeaderFd(), head.bytes.data() + head.offset,
                              head.bytes.size() - head.offset);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                m_waitWritable = true;
                break;
            }
            if (n <= 0) {
                // Refused by the terminal: dropped, and said so in the log.
                failed.push_back(head.bytes);
                m_out.pop_front();
                continue;
            }
            head.offset += static_cast<size_t>(n);
            if (head.offset < head.bytes.size())
                continue;
            SimWrite record;
            record.atMs = m_lastWriteMs = SimNowMs();
            record.bytes = head.bytes;
            written.push_back(head.bytes);
            PushBounded(&m_writes, std::move(record), kMaxWrites);
            m_out.pop_front();
        }
        m_changed.notify_all();
    }
    for (const std::string& bytes : written)
        m_log.Bytes(m_name + "->daemon", bytes);
    for (const std::string& bytes : failed)
        m_log.Note("write failed, dropped: " + bytes);
}

// Called with m_mutex held.
int64_t SimEndpoint::DueMs(const OutItem& item) const
{
    if (item.pauseMs > 0)
        return std::max(item.dueMs, m_lastWriteMs + item.pauseMs);
    return item.dueMs;
}

void SimEndpoint::Wake()
{
    if (m_wakeFd < 0)
        return;
    uint64_t one = 1;
    ssize_t ignored = write(m_wakeFd, &one, sizeof one);
    (void)ignored;
}

void SimEndpoint::Send(const std::string& bytes, int delayMs)
{
    SendPieces({bytes}, 0, delayMs);
}

void SimEndpoint::SendLine(const std::string& line, int delayMs)
{
    Send(line + "\r\n", delayMs);
}

void SimEndpoint::SendPieces(const std::vector<std::string>& pieces, int gapMs, int delayMs)
{
    int64_t due = SimNowMs() + std::max(0, delayMs);
    int64_t pause = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const std::string& piece : pieces) {
            if (piece.empty())
                continue;
            OutItem item;
            item.dueMs = due;
            item.pauseMs = pause;
            item.bytes = piece;
            m_out.push_back(std::move(item));
            pause = std::max(0, gapMs);
        }
    }
    Wake();
}

bool SimEndpoint::WaitSent(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [this] { return m_out.empty(); });
}

std::vector<SimWrite> SimEndpoint::Writes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::vector<SimWrite>(m_writes.begin(), m_writes.end());
}

std::string SimEndpoint::Garbage(size_t count, unsigned seed)
{
    std::string bytes;
    bytes.reserve(count);
    uint32_t state = seed * 2654435761u + 12345u;
    while (bytes.size() < count) {
        state = state * 1103515245u + 12345u;
        char c = static_cast<char>((state >> 16) & 0xff);
        if (c != '\r' && c != '\n')
            bytes += c;
    }
    return bytes;
}

void SimEndpoint::SetSilent(bool silent)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_silent = silent;
}

bool SimEndpoint::Silent() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_silent;
}

void SimEndpoint::SetReplyDelay(int delayMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replyDelayMs = std::max(0, delayMs);
}

void SimEndpoint::SetReplySplit(size_t cutAt, int gapMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replyCutAt = cutAt;
    m_replyGapMs = std::max(0, gapMs);
}

void SimEndpoint::SetReply(const std::string& request, const std::vector<std::string>& replies)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies[ReplyKey(request)] = replies;
}

void SimEndpoint::ClearReplies()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies.clear();
}

bool SimEndpoint::ReadLine(std::string* line, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [this] { return !m_unread.empty(); }))
        return false;
    *line = m_unread.front();
    m_unread.pop_front();
    return true;
}

bool SimEndpoint::WaitForLine(const std::string& line, int timeoutMs)
{
    int64_t deadline = SimNowMs() + timeoutMs;
    std::string taken;
    for (;;) {
        int64_t left = deadline - SimNowMs();
        if (left < 0 || !ReadLine(&taken, static_cast<int>(left)))
            return false;
        if (taken == line)
            return true;
    }
}

std::vector<std::string> SimEndpoint::ReceivedLines() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::vector<std::string>(m_lines.begin(), m_lines.end());
}

std::string SimEndpoint::ReceivedBytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bytes;
}

uint64_t SimEndpoint::ReceivedByteCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_byteCount;
}

bool SimEndpoint::WaitForBytes(uint64_t count, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [this, count] { return m_byteCount >= count; });
}

std::vector<SimChunk> SimEndpoint::Chunks() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::vector<SimChunk>(m_chunks.begin(), m_chunks.end());
}

void SimEndpoint::ClearRecords()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_unread.clear();
    m_lines.clear();
    m_bytes.clear();
    m_byteCount = 0;
    m_chunks.clear();
    m_writes.clear();
}

SimLineSettings SimEndpoint::LineSettings() const
{
    struct termios attributes;
    if (!m_pty.ReadAttributes(&attributes))
        return SimLineSettings();
    return SimDecodeLineSettings(attributes);
}

std::vector<std::string> SimEndpoint::ControlHelp() const
{
    return {
        "<text>                       send <text> with CR LF",
        "!send <escaped>              send bytes (\\r \\n \\t \\\\ \\0 \\xNN), no CR LF added",
        "!raw <hex> <hex> ...         send bytes given in hexadecimal",
        "!pieces <gap-ms> <a>|<b>...  send escaped pieces in separate writes gap-ms apart",
        "!garbage <count>             send junk bytes without CR or LF",
        "!silent on|off               stop or resume answering",
        "!delay <ms>                  answer that much later",
        "!read-speed <bit/s>          read the daemon's bytes at a line's pace (0: at once)",
        "!split <cut> <gap-ms>        split answers after <cut> bytes (0: whole)",
        "!reply <line> => <a> || <b>  answer <line> with these lines (none: no answer)",
        "!clear-replies               forget the !reply answers",
        "!settings                    log the line settings read back now",
    };
}

std::string SimEndpoint::Control(const std::string& command)
{
    std::string text = command;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    if (text.empty() || text[0] == '#')
        return std::string();
    if (text[0] != '!') {
        SendLine(text);
        return std::string();
    }
    m_log.Note("control " + text);
    size_t space = text.find(' ');
    std::string word = text.substr(1, space == std::string::npos ? std::string::npos : space - 1);
    std::string rest = space == std::string::npos ? std::string() : text.substr(space + 1);
    if (word == "help") {
        for (const std::string& help : ControlHelp())
            m_log.Note(help);
        return std::string();
    }
    if (word == "settings") {
        m_log.Note("line settings " + SimDescribeLineSettings(LineSettings()));
        return std::string();
    }
    std::string result = ControlSendCommand(word, rest);
    if (result == "unknown")
        result = ControlAnswerCommand(word, rest);
    if (result == "unknown")
        result = "unknown command !" + word + " (try !help)";
    return result;
}

// The commands that put bytes on the line; "unknown" for any other word.
std::string SimEndpoint::ControlSendCommand(const std::string& word, const std::string& rest)
{
    std::string bytes;
    if (word == "send") {
        if (!SimUnescapeBytes(rest, &bytes))
            return "bad escape in !send";
        Send(bytes);
        return std::string();
    }
    if (word == "raw") {
        if (!SimParseHexBytes(rest, &bytes) || bytes.empty())
            return "!raw wants hexadecimal byte values";
        Send(bytes);
        return std::string();
    }
    if (word == "garbage") {
        int count = 0;
        if (!SimParseCount(SimTrim(rest), &count) || count == 0)
            return "!garbage wants a count";
        unsigned seed;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            seed = m_garbageSeed++;
        }
        Send(Garbage(static_cast<size_t>(count), seed));
        return std::string();
    }
    if (word == "pieces") {
        size_t space = rest.find(' ');
        int gapMs = 0;
        if (space == std::string::npos || !SimParseCount(rest.substr(0, space), &gapMs))
            return "!pieces wants a gap and pieces";
        std::vector<std::string> pieces;
        for (const std::string& escaped : SimSplitOn(rest.substr(space + 1), "|")) {
            std::string piece;
            if (!SimUnescapeBytes(escaped, &piece))
                return "bad escape in !pieces";
            pieces.push_back(piece);
        }
        SendPieces(pieces, gapMs);
        return std::string();
    }
    return "unknown";
}

// The commands that change how lines are answered; "unknown" for others.
std::string SimEndpoint::ControlAnswerCommand(const std::string& word, const std::string& rest)
{
    std::vector<std::string> args = SimSplitWords(rest);
    if (word == "silent") {
        bool on = false;
        if (args.size() != 1 || !ParseOnOff(args[0], &on))
            return "!silent wants on or off";
        SetSilent(on);
        return std::string();
    }
    // The commands that take one count.
    const struct {
        const char* word;
        const char* usage;
        void (SimEndpoint::*set)(int);
    } kCounts[] = {{"delay", "!delay wants milliseconds", &SimEndpoint::SetReplyDelay},
                   {"read-speed", "!read-speed wants bit/s (0: at once)", &SimEndpoint::SetReadSpeed}};
    for (const auto& command : kCounts) {
        int value = 0;
        if (word != command.word)
            continue;
        if (args.size() != 1 || !SimParseCount(args[0], &value))
            return command.usage;
        (this->*command.set)(value);
        return std::string();
    }
    if (word == "split") {
        int cutAt = 0, gapMs = 0;
        if (args.size() != 2 || !SimParseCount(args[0], &cutAt) || !SimParseCount(args[1], &gapMs))
            return "!split wants a byte count and a gap";
        SetReplySplit(static_cast<size_t>(cutAt), gapMs);
        return std::string();
    }
    if (word == "reply") {
        size_t arrow = rest.find("=>");
        if (arrow == std::string::npos || SimTrim(rest.substr(0, arrow)).empty())
            return "!reply wants <line> => <answers>";
        std::vector<std::string> replies;
        for (const std::string& answer : SimSplitOn(rest.substr(arrow + 2), "||")) {
            if (!SimTrim(answer).empty())
                replies.push_back(SimTrim(answer));
        }
        SetReply(rest.substr(0, arrow), replies);
        return std::string();
    }
    if (word == "clear-replies") {
        ClearReplies();
        return std::string();
    }
    return "unknown";
}
