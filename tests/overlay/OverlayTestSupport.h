// A board overlay laid out by board/make-overlay with this build's programs
// in a temporary directory (removed at the end), and its tarball. The
// overlay holds no settings of its own (FirstBoot puts them in place).
#ifndef OVERLAY_TEST_SUPPORT_H
#define OVERLAY_TEST_SUPPORT_H

#include <cstdlib>
#include <dirent.h>
#include <algorithm>
#include <string>
#include <vector>

#include "BoardRootFixture.h"

namespace overlay_test {

// The words of a process's command line (empty once it has ended).
inline std::vector<std::string> CommandLine(pid_t pid)
{
    std::string raw = board_test::ReadText("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> words;
    for (size_t at = 0; at < raw.size();) {
        size_t end = raw.find('\0', at);
        words.push_back(raw.substr(at, end - at));
        at = end == std::string::npos ? raw.size() : end + 1;
    }
    return words;
}

// Processes whose first command word starts with prefix.
inline std::vector<pid_t> ProcessesUnder(const std::string& prefix)
{
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    for (struct dirent* entry; proc != nullptr && (entry = readdir(proc)) != nullptr;) {
        pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
        std::vector<std::string> words = pid > 0 ? CommandLine(pid) : std::vector<std::string>();
        if (!words.empty() && words[0].rfind(prefix, 0) == 0)
            found.push_back(pid);
    }
    if (proc != nullptr)
        closedir(proc);
    return found;
}

inline pid_t ParentOf(pid_t pid)
{
    std::string status = board_test::ReadText("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("PPid:");
    return at == std::string::npos ? -1 : static_cast<pid_t>(atoi(status.c_str() + at + 5));
}

class TempOverlay {
public:
    TempOverlay()
    {
        fParent = board_test::MakeTempDir("overlay");
        if (fParent.empty())
            return;
        board_test::ProcessResult made = board_test::RunProcess(
            {board_test::SourcePath("board/make-overlay"), "--program", std::string("velmard=") + board_test::ProgramPath("velmard"),
             "--program", std::string("QuorNdk=") + board_test::ProgramPath("QuorNdk"), "--program",
             std::string("velmarcmd=") + board_test::ProgramPath("velmarcmd"), "--tarball", fParent + "/overlay.tar.gz",
             fParent + "/root"});
        fOutput = made.output;
        if (made.Exited(0))
            fRoot = fParent + "/root";
    }
    ~TempOverlay()
    {
        if (!fParent.empty())
            board_test::RemoveTree(fParent);
    }
    TempOverlay(const TempOverlay&) = delete;
    TempOverlay& operator=(const TempOverlay&) = delete;

    bool Ok() const { return !fRoot.empty(); }
    const std::string& Output() const { return fOutput; }
    const std::string& Root() const { return fRoot; }
    std::string Tarball() const { return fParent + "/overlay.tar.gz"; }
    std::string File(const std::string& boardPath) const { return fRoot + boardPath; }
    std::string Read(const std::string& boardPath) const { return board_test::ReadText(File(boardPath)); }
    // The processes running "/usr/bin/PROGRAM -d" of this board (the
    // daemons as the start scripts run them). A daemon's child that has not
    // yet started its own program (a command it runs) carries the same
    // command line: it is left out.
    std::vector<pid_t> Running(const std::string& program) const
    {
        std::vector<pid_t> same, pids;
        for (pid_t pid : ProcessesUnder(File("/usr/bin/" + program)))
            if (CommandLine(pid) == std::vector<std::string>{File("/usr/bin/" + program), "-d"})
                same.push_back(pid);
        for (pid_t pid : same)
            if (std::find(same.begin(), same.end(), ParentOf(pid)) == same.end())
                pids.push_back(pid);
        return pids;
    }
    // The first-value copy of a board setting.
    std::string Setting(const std::string& boardPath) const { return File(kSettingsDir + boardPath); }
    // What the board's first boot does before the daemons start: puts the
    // missing settings in place. True when it succeeded.
    bool FirstBoot() const { return InstallSettings(fRoot); }

    static constexpr const char* kSettingsDir = "/usr/share/velmar/settings";
    static bool InstallSettings(const std::string& root)
    {
        board_test::ProcessSpec run;
        run.argv = {root + "/usr/lib/velmar/install-settings"};
        run.setEnv = {{"VELMAR_ROOT", root}};
        run.captureStderr = true;
        return board_test::RunProcess(run).Exited(0);
    }

private:
    std::string fParent, fRoot, fOutput;
};

} // namespace overlay_test

#endif
