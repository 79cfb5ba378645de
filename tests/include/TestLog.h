// The light log of a test binary, written into a fresh temporary directory
// and read back, and marks in a log that tell what was written after them.
// The including target links the light log (LightLog.h).
#ifndef TEST_LOG_H
#define TEST_LOG_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "LightLog.h"
#include "TestClock.h"
#include "TestFiles.h"

namespace test_log {

// Sets the light log up in /tmp/velmar-<tag>-XXXXXX (files <base>001.logTmp
// and on, maxLines lines a file, at the debug level); ends it and removes the directory at the end.
class LightLogDir {
public:
    explicit LightLogDir(const std::string& tag, const std::string& base = "log", uint32_t maxLines = 1000000,
                         uint32_t files = 10)
        : fDir(tag), fBase(base)
    {
        T_LightLogCallBack cb = LightLogStdioCallBack();
        LightLogSetCallBack(&cb);
        LightLogSetup((fDir.Path() + "/" + fBase).c_str(), maxLines, files, LLOG_LEVEL_DEBUG);
    }
    ~LightLogDir() { LightLogExit(); }
    LightLogDir(const LightLogDir&) = delete;
    LightLogDir& operator=(const LightLogDir&) = delete;

    // Everything logged so far, every file in name order.
    std::string Text() const
    {
        LightLogFlush();
        return test_files::ReadFilesIn(fDir.Path(), fBase);
    }
    bool Has(const std::string& text) const { return Text().find(text) != std::string::npos; }
    size_t Count(const std::string& text) const { return test_files::CountOf(Text(), text); }

private:
    test_files::TempDir fDir;
    std::string fBase;
};

// One log for the whole binary, opened in main (or a test environment)
// before the tests run and closed after them.
class ProcessLog {
public:
    static void Open(const std::string& tag, const std::string& base = "log", uint32_t maxLines = 1000000,
                     uint32_t files = 10)
    {
        Log().reset(new LightLogDir(tag, base, maxLines, files));
    }
    static void Close() { Log().reset(); }
    static std::string Text() { return Log() ? Log()->Text() : std::string(); }

private:
    static std::unique_ptr<LightLogDir>& Log()
    {
        static std::unique_ptr<LightLogDir> s_log;
        return s_log;
    }
};

// A point in a log: what was written after it. text reads the whole log.
class LogMark {
public:
    explicit LogMark(std::function<std::string()> text = ProcessLog::Text)
        : fText(std::move(text)), fOffset(fText().size())
    {
    }
    std::string Since() const
    {
        std::string all = fText();
        return all.size() > fOffset ? all.substr(fOffset) : std::string();
    }
    // The same, under the name the log tests read best with.
    std::string Text() const { return Since(); }
    size_t Count(const std::string& text) const { return test_files::CountOf(Since(), text); }
    bool Has(const std::string& text) const { return Since().find(text) != std::string::npos; }
    // Position of the first occurrence after the mark, npos when absent.
    size_t Find(const std::string& text) const { return Since().find(text); }
    // Waits until text was logged after the mark (at most timeoutMs).
    bool WaitFor(const std::string& text, int timeoutMs = 3000) const
    {
        return board_test::WaitFor([&] { return Has(text); }, timeoutMs, 5);
    }

private:
    std::function<std::string()> fText;
    size_t fOffset;
};

}  // namespace test_log

#endif
