// A board overlay laid out by board/make-overlay with this build's programs
// in a temporary directory (removed at the end), and its tarball. The
// overlay holds no settings of its own (FirstBoot puts them in place).
#ifndef OVERLAY_TEST_SUPPORT_H
#define OVERLAY_TEST_SUPPORT_H

#include <string>

#include "BoardRootFixture.h"

namespace overlay_test {

class TempOverlay {
public:
    TempOverlay()
    {
        fParent = board_test::MakeTempDir("overlay");
        if (fParent.empty())
            return;
        board_test::ProcessResult made = board_test::RunProcess(
            {board_test::SourcePath("board/make-overlay"), "--program", std::string("velmard=") + VELMARD_PATH,
             "--program", std::string("QuorNdk=") + QUORNDK_PATH, "--program",
             std::string("velmarcmd=") + VELMARCMD_PATH, "--tarball", fParent + "/overlay.tar.gz",
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
