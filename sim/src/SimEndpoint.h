// The common part of the simulated serial devices: a pseudo-terminal linked
// where the daemon expects its device, an I/O thread that reads what the
// daemon writes, cuts it into CR LF lines and answers them, and an output
// queue through which answers, injected lines, split or delayed bursts and
// garbage reach the daemon.
//
// Everything received is recorded (lines for ReadLine, the raw bytes, each
// read chunk with the line settings of that moment) and every line in both
// directions goes to the traffic log.
#ifndef VELMAR_SIM_SIMENDPOINT_H
#define VELMAR_SIM_SIMENDPOINT_H

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "SimLineFramer.h"
#include "SimLineSettings.h"
#include "SimPty.h"
#include "SimTrafficLog.h"

struct SimEndpointOptions {
    std::string linkPath;       // where the daemon finds the device, e.g. <root>/dev/ttyS1
    std::string trafficLogPath; // empty: no traffic log file
};

// One write of the simulator to the daemon, as it went out.
struct SimWrite {
    int64_t atMs = 0; // monotonic clock (SimNowMs) when the write completed
    std::string bytes;
};

// One read of the simulator: the bytes the daemon had written by then and
// the line settings at that moment.
struct SimChunk {
    int64_t atMs = 0;
    std::string bytes;
    SimLineSettings settings;
};

class SimEndpoint {
public:
    // `name` names the device in the traffic log ("mcu", "display").
    explicit SimEndpoint(const char* name);
    // Derived classes call Stop() in their own destructors: the I/O thread
    // calls their Answer().
    virtual ~SimEndpoint();
    SimEndpoint(const SimEndpoint&) = delete;
    SimEndpoint& operator=(const SimEndpoint&) = delete;

    // Opens the traffic log and the pseudo-terminal, links it and starts the
    // I/O thread. Returns 0 or a negative errno (-EBUSY when running).
    int Start(const SimEndpointOptions& options);
    // Stops the thread, removes the link, closes everything. Idempotent.
    void Stop();
    bool Running() const { return m_running.load(); }

    const std::string& Name() const { return m_name; }
    std::string FollowerName() const { return m_pty.FollowerName(); }
    std::string LinkPath() const { return m_pty.LinkPath(); }
    SimTrafficLog& TrafficLog() { return m_log; }

    // ---- Output. Items go out in the order queued, each in one write and
    // not before its delay has passed (a later item waits for earlier ones).
    void Send(const std::string& bytes, int delayMs = 0);
    void SendLine(const std::string& line, int delayMs = 0);
    // Each piece in a write of its own, at least gapMs after the write of the
    // piece before it: the daemon sees separate bursts when the gap is longer
    // than its burst pause.
    void SendPieces(const std::vector<std::string>& pieces, int gapMs, int delayMs = 0);
    // Waits until everything queued has been written.
    bool WaitSent(int timeoutMs);
    std::vector<SimWrite> Writes() const;
    // Deterministic junk without CR or LF.
    static std::string Garbage(size_t count, unsigned seed);

    // ---- Answers to the daemon's lines.
    // A silent device records what it receives and answers nothing.
    void SetSilent(bool silent);
    bool Silent() const;
    // Answers go out delayMs after the line that asked for them.
    void SetReplyDelay(int delayMs);
    // Reads what the daemon writes no faster than a line of this many bit/s
    // carries it (ten bits a byte), so the daemon's writes block as on the
    // real line once the terminal's buffer is full; 0 reads at once.
    void SetReadSpeed(int bitsPerSecond);
    // Answers are split after cutAt bytes into two writes gapMs apart
    // (cutAt 0: whole).
    void SetReplySplit(size_t cutAt, int gapMs);
    // Replaces the answer to one line (compared ignoring case and outer
    // blanks) with these lines; an empty list means no answer at all.
    void SetReply(const std::string& request, const std::vector<std::string>& replies);
    void ClearReplies();

    // ---- What the daemon wrote.
    // Takes the next line not yet taken (without CR LF); false on timeout.
    bool ReadLine(std::string* line, int timeoutMs);
    // Takes lines until one equals `line`; false on timeout.
    bool WaitForLine(const std::string& line, int timeoutMs);
    // Every line received so far (the latest 10000), taken or not.
    std::vector<std::string> ReceivedLines() const;
    // The raw bytes received (the latest 1 MiB) and their total count.
    std::string ReceivedBytes() const;
    uint64_t ReceivedByteCount() const;
    bool WaitForBytes(uint64_t count, int timeoutMs);
    std::vector<SimChunk> Chunks() const;
    // Forgets everything recorded in both directions.
    void ClearRecords();

    // The line settings read back from the terminal attributes now.
    SimLineSettings LineSettings() const;

    // One control command, as typed into the control FIFO: a line without a
    // leading '!' is sent to the daemon with CR LF; '!' starts a command
    // ("!help" lists them). Returns an empty text, or what was wrong.
    virtual std::string Control(const std::string& command);
    // The command summary, one command a line.
    virtual std::vector<std::string> ControlHelp() const;

protected:
    // The answer lines (without CR LF) to one line of the daemon; called on
    // the I/O thread when no fixed reply applies and the device is not silent.
    virtual std::vector<std::string> Answer(const std::string& line) = 0;
    // Received bytes; the default cuts them into lines and handles each.
    // (A byte-oriented protocol, such as a flash loader, takes over here.)
    virtual void OnBytes(const char* data, size_t length);
    // Records a received line, logs it and answers it.
    void HandleLine(const std::string& line);

private:
    struct OutItem {
        int64_t dueMs = 0;  // not before this time
        int64_t pauseMs = 0; // nor sooner than this after the write before it
        std::string bytes;
        size_t offset = 0;
    };

    static void* ThreadMain(void* self);
    void IoLoop();
    int PollTimeoutMs();
    void ReadAvailable();
    bool ReadPaced();
    int64_t PacedReadWaitUs() const;
    void RecordChunk(const char* data, size_t length);
    int64_t DueMs(const OutItem& item) const;
    void FlushDue();
    void LogQuietResidue();
    void Wake();
    void SendReplies(const std::vector<std::string>& replies);
    std::string ControlSendCommand(const std::string& word, const std::string& rest);
    std::string ControlAnswerCommand(const std::string& word, const std::string& rest);

    const std::string m_name;
    SimPty m_pty;
    SimTrafficLog m_log;
    pthread_t m_thread{};
    bool m_threadStarted = false;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stop{false};
    int m_wakeFd = -1;

    // Guarded by m_mutex.
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<OutItem> m_out;
    bool m_waitWritable = false;
    int64_t m_lastWriteMs = 0;
    std::deque<SimWrite> m_writes;
    std::deque<std::string> m_unread;
    std::deque<std::string> m_lines;
    std::string m_bytes;
    uint64_t m_byteCount = 0;
    std::deque<SimChunk> m_chunks;
    bool m_silent = false;
    int m_replyDelayMs = 0;
    size_t m_replyCutAt = 0;
    int m_replyGapMs = 0;
    std::map<std::string, std::vector<std::string>> m_replies;
    unsigned m_garbageSeed = 1;

    // Used by the I/O thread only.
    SimLineFramer m_framer;
    int64_t m_lastReadMs = 0;
    int64_t m_nextReadUs = 0;   // paced reading: no read before
    std::atomic<int> m_readSpeed{0};
    bool m_residueLogged = false;
    bool m_settingsLogged = false;
    SimLineSettings m_loggedSettings;
};

#endif
