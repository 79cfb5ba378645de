// Test helpers for the simulator tests: a scratch directory and a serial
// client that works the follower side the way the daemon does (open the
// linked path, raw mode, CR LF lines).
#ifndef VELMAR_TESTS_SIMTESTSUPPORT_H
#define VELMAR_TESTS_SIMTESTSUPPORT_H

#include <termios.h>

#include <cstdint>
#include <string>

#include "QuorUtilLib/OSNonCopyable.h"
#include "TestFiles.h"

// A fresh directory under /tmp, removed with everything in it at the end.
class ScratchDir : public test_files::TempDir {
public:
    ScratchDir() : TempDir("sim") {}
    std::string operator/(const std::string& name) const { return File(name); }
};

class SerialClient : OSNonCopyable {
public:
    SerialClient() = default;
    ~SerialClient() { Close(); }

    // Opens the path read-write without a controlling terminal. With
    // `applyRaw`, applies raw mode at `speed` with `extraCflag` added.
    bool Open(const std::string& path, bool applyRaw = true, speed_t speed = B57600,
              tcflag_t extraCflag = 0);
    bool Apply(speed_t speed, tcflag_t cflag);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }

    bool Write(const std::string& bytes);
    bool WriteLine(const std::string& line) { return Write(line + "\r\n"); }

    // The bytes that arrive first within timeoutMs (empty on timeout).
    std::string ReadSome(int timeoutMs);
    // Everything that arrives until the line has been quiet for quietMs.
    std::string ReadUntilQuiet(int quietMs, int maxMs = 3000);
    // One CR LF line (returned with its CR LF); false on timeout.
    bool ReadRawLine(std::string* line, int timeoutMs);
    // Writes a line and returns the answer line with its CR LF ("" if none).
    std::string Ask(const std::string& line, int timeoutMs = 2000);

private:
    int m_fd = -1;
    std::string m_pending;
};

int64_t TestNowMs();
// Waits until the file contains `text`; returns the content seen last.
std::string WaitForFileText(const std::string& path, const std::string& text, int timeoutMs = 3000);
void SleepMs(int ms);

#endif
