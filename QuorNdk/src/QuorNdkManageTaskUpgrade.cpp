// The installation of an ARM software upgrade (see QuorNdkManageTask.h).
//
// Only fixed texts go through the shell ("/etc/init.d/velmard update-stop"
// and "update-start"); tar and the install script run with argument vectors,
// and the upgrade directories are emptied in-process. The log keeps the
// equivalent command lines.
//
// The upload is moved into a private directory made with mkdtemp in the ARM
// directory, checked there (signature, install script) before velmard is
// touched, and unpacked and run there: no link a failed archive left behind
// can be followed by the next one. The install marker covers the time from
// before "update-stop" until after "update-start".
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <ftw.h>
#include <cstdint>
#include <unistd.h>

#include "BoardPath.h"
#include "LightLog.h"
#include "QuorNdkInstallState.h"
#include "QuorNdkManageTask.h"
#include "QuorNdkPref.h"
#include "QuorNdkRequestCheck.h"
#include "QuorNdkSignature.h"
#include "ShellCommand.h"

namespace {

const char kSrc[] = "QuorNdk/src/QuorNdkManageTaskUpgrade";
const char kArmDir[] = "/Velmar/Upgrade/ARM/";
const char kMcuDir[] = "/Velmar/Upgrade/MCU/";
const char kInstallScript[] = "Install_upgrade_atmel";
const char kStopVelmard[] = "/etc/init.d/velmard update-stop";
const char kStartVelmard[] = "/etc/init.d/velmard update-start";

using BoardDir = char[BoardPath::kMaxRoot + 64];

// The two error forms of the log: steps up to the unpacking say "error!",
// later ones "error !".
enum Step { EARLY_STEP, LATE_STEP };

void LogOutcome(const char* commandLine, bool ok, Step step)
{
    if (ok)
        LightLogExt(20000, 1, kSrc, __LINE__, "system <%s> OK.", commandLine);
    else if (step == EARLY_STEP)
        LightLogExt(40000, 1, kSrc, __LINE__, "######system <%s> error!", commandLine);
    else
        LightLogExt(40000, 1, kSrc, __LINE__, "######system <%s> error !", commandLine);
}

bool RunShell(const char* command, Step step)
{
    bool ok = ShellCommand().Run(command) == 0;
    LogOutcome(command, ok, step);
    return ok;
}

bool RunProgram(const char* const* argv, const char* workDir, const char* commandLine, Step step)
{
    bool ok = ShellCommand().RunProgram(argv, workDir) == 0;
    LogOutcome(commandLine, ok, step);
    return ok;
}

int RemoveEntry(const char* path, const struct stat*, int type, struct FTW*)
{
    return type == FTW_DP ? rmdir(path) : unlink(path);
}

// Empties a directory (the board path dir, ending in '/'), never following
// links out of it: "rm -fr <dir>*" in-process.
bool EmptyDirectory(const char* dir)
{
    BoardDir resolved;
    if (dir[0] != '/' || strcmp(dir, "/") == 0 || BoardPath::Resolve(dir, resolved) != 0)
        return false;
    DIR* listing = opendir(resolved);
    if (listing == nullptr)
        return errno == ENOENT;
    bool ok = true;
    while (struct dirent* entry = readdir(listing)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        char path[PATH_MAX];
        int n = snprintf(path, sizeof(path), "%s%s", resolved, entry->d_name);
        ok = n > 0 && static_cast<size_t>(n) < sizeof(path) &&
             nftw(path, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS) == 0 && ok;
    }
    closedir(listing);
    return ok;
}

bool EmptyUpgradeDirectory(const char* dir)
{
    BoardDir resolved;
    char commandLine[sizeof(resolved) + 16];
    BoardPath::Resolve(dir, resolved);
    snprintf(commandLine, sizeof(commandLine), "rm -fr %s*", resolved);
    bool ok = EmptyDirectory(dir);
    LogOutcome(commandLine, ok, LATE_STEP);
    return ok;
}

// One installation: the uploaded archive, the private directory it is moved
// into and unpacked in (made with mkdtemp beside it, so on the same file
// system, and removed at every ending), and the install script's member path.
struct Install {
    BoardDir armDir;                                   // resolved, ends in '/'
    char upload[sizeof(BoardDir) + 512];               // armDir + file
    char dir[sizeof(BoardDir) + 32];                   // armDir + ".install-XXXXXX"
    char archive[sizeof(dir) + 512];                   // dir + '/' + file
    char script[512 + sizeof(kInstallScript) + 4];     // "<name>/Install_upgrade_atmel"
    char localScript[sizeof(script) + 2];              // "./<name>/Install_upgrade_atmel"
};

template <size_t N>
bool Format(char (&out)[N], const char* format, const char* a, const char* b)
{
    int n = snprintf(out, N, format, a, b);
    return n > 0 && static_cast<size_t>(n) < N;
}

bool DescribeInstall(const T_QuorVersionUpgradeReq& request, Install* in)
{
    return BoardPath::Resolve(kArmDir, in->armDir) == 0 &&
           Format(in->upload, "%s%s", in->armDir, request.cVersionFile) &&
           Format(in->dir, "%s%s", in->armDir, ".install-XXXXXX") &&
           Format(in->script, "%s/%s", request.cVersionName, kInstallScript) &&
           Format(in->localScript, "%s%s", "./", in->script);
}

// Makes the private directory and moves the upload into it.
bool TakeArchive(const T_QuorVersionUpgradeReq& request, Install* in)
{
    if (mkdtemp(in->dir) == nullptr) {
        LightLogExt(40000, 1, kSrc, __LINE__, "###### Fail to make an unpack directory <%s>: %s.", in->dir,
                    strerror(errno));
        in->dir[0] = '\0';
        return false;
    }
    if (!Format(in->archive, "%s/%s", in->dir, request.cVersionFile) || rename(in->upload, in->archive) != 0) {
        LightLogExt(40000, 1, kSrc, __LINE__, "###### Fail to move <%s> into <%s>: %s.", in->upload, in->dir,
                    strerror(errno));
        return false;
    }
    return true;
}

// Whether the archive may be installed under the upgrade key (see
// QuorNdkSignature.h); the signature block, if any, is cut off so that tar
// reads the archive's own bytes only.
bool CheckSignature(const char* archive, const char* file)
{
    const char* keyPath = CQuorNdkPref::s_cVelmarNdk_UpgradeKey;
    char keyFile[BoardPath::kMaxRoot + sizeof(CQuorNdkPref::s_cVelmarNdk_UpgradeKey)];
    uint8_t key[UpgradeSignature::kPublicKeyBytes];
    int keyState = BoardPath::Resolve(keyPath, keyFile) == 0
                       ? UpgradeSignature::ReadKeyFile(keyFile, key, sizeof(key))
                       : -2;
    bool noKey = keyState == -1 && errno == ENOENT;
    if (keyState != 0 && !noKey) {
        LightLogExt(40000, 1, kSrc, __LINE__, "###### The upgrade key <%s> is not usable; <%s> is refused.", keyPath,
                    file);
        return false;
    }
    UpgradeSignature::MappedFile bytes;
    if (bytes.Open(archive) != 0) {
        LightLogExt(40000, 1, kSrc, __LINE__, "###### Fail to read <%s>: %s.", archive, strerror(errno));
        return false;
    }
    bool block = UpgradeSignature::HasBlock(bytes.Bytes(), bytes.Size());
    if (noKey) {
        LightLogExt(30000, 1, kSrc, __LINE__, "The archive <%s> is not verified: no upgrade key at <%s>%s.", file,
                    keyPath, block ? "; its signature block is not checked" : "");
    } else if (UpgradeSignature::Initialize() != 0 || !UpgradeSignature::Verify(bytes.Bytes(), bytes.Size(), key)) {
        LightLogExt(40000, 1, kSrc, __LINE__, "###### The archive <%s> is refused: %s for the upgrade key <%s>.",
                    file, block ? "its signature is not valid" : "it carries no signature", keyPath);
        return false;
    } else {
        LightLogExt(20000, 1, kSrc, __LINE__, "The archive <%s> is signed with the upgrade key <%s>.", file,
                    keyPath);
    }
    if (block && truncate(archive, static_cast<off_t>(bytes.Size() - UpgradeSignature::kBlockBytes)) != 0) {
        LightLogExt(40000, 1, kSrc, __LINE__, "###### Fail to cut the signature block off <%s>: %s.", archive,
                    strerror(errno));
        return false;
    }
    return true;
}

// Everything an installation leaves: its directory and the uploads.
bool CleanUp()
{
    bool ok = EmptyUpgradeDirectory(kArmDir);
    ok = EmptyUpgradeDirectory(kMcuDir) && ok;
    sync();
    return ok;
}

} // namespace

bool CQuorNdkManageTask::IsAcceptable(const T_QuorVersionUpgradeReq& request, uint32_t remoteAddr)
{
    if (!CQuorNdkRequestCheck::IsLoopbackSender(remoteAddr)) {
        LightLogExt(40000, 1, kSrc, __LINE__,
                    "###### Upgrade request from <%u.%u.%u.%u> outside this board is dropped.", remoteAddr >> 24,
                    (remoteAddr >> 16) & 0xFF, (remoteAddr >> 8) & 0xFF, remoteAddr & 0xFF);
        return false;
    }
    BoardDir armDir;
    if (!CQuorNdkRequestCheck::IsSafeName(request.cVersionFile) ||
        !CQuorNdkRequestCheck::IsSafeName(request.cVersionName) || BoardPath::Resolve(kArmDir, armDir) != 0 ||
        !CQuorNdkRequestCheck::IsRegularFileIn(armDir, request.cVersionFile)) {
        LightLogExt(40000, 1, kSrc, __LINE__,
                    "###### Upgrade request refused: VersionName <%.64s> or VersionFile <%.64s> is not a usable name "
                    "of an archive in <%s>.",
                    request.cVersionName, request.cVersionFile, kArmDir);
        return false;
    }
    return true;
}

void CQuorNdkManageTask::RecoverInterruptedInstall()
{
    char marker[CQuorNdkInstallMarker::kMaxText + 1];
    if (CQuorNdkInstallMarker::Read(marker, sizeof(marker)) == 0)
        return;
    LightLogExt(40000, 1, kSrc, __LINE__,
                "###### An installation was under way when the agent ended <%s>; cleaning up and starting velmard.",
                marker);
    CleanUp();
    RunShell(kStartVelmard, LATE_STEP);
    CQuorNdkInstallMarker::Remove();
}

// Past the checks: velmard is stopped, the archive unpacked in the private
// directory and its script run there. Whatever happens, velmard is started
// again once its stop was tried, the directories are emptied and the marker
// goes last.
int CQuorNdkManageTask::DoARMVersionUpgrade(const T_QuorVersionUpgradeReq& request)
{
    Install in;
    if (!DescribeInstall(request, &in)) {
        CleanUp();
        return -2;
    }
    char commandLine[sizeof(in.archive) + sizeof(in.dir) + sizeof(in.script) + 32];
    bool ok = TakeArchive(request, &in) && CheckSignature(in.archive, request.cVersionFile);

    // The archive must hold the install script before velmard is touched.
    snprintf(commandLine, sizeof(commandLine), "tar -tzf %s %s", in.archive, in.script);
    const char* const listArgv[] = {"tar", "-t", "-z", "-f", in.archive, in.script, nullptr};
    ok = ok && RunProgram(listArgv, nullptr, commandLine, EARLY_STEP);

    char marker[CQuorNdkInstallMarker::kMaxText];
    snprintf(marker, sizeof(marker), "archive <%s> version <%s> in <%s>\n", request.cVersionFile,
             request.cVersionName, in.dir);
    if (!ok || CQuorNdkInstallMarker::Write(marker) != 0) {
        CleanUp();
        return -2;
    }

    LightLogExt(20000, 1, kSrc, __LINE__, "update ARM...");
    sleep(2);
    ok = RunShell(kStopVelmard, EARLY_STEP);

    snprintf(commandLine, sizeof(commandLine), "tar xvzfm %s -C %s", in.archive, in.dir);
    const char* const tarArgv[] = {"tar", "-x", "-v", "-z", "-f", in.archive, "-m", "-C", in.dir, nullptr};
    ok = ok && RunProgram(tarArgv, nullptr, commandLine, EARLY_STEP);
    if (ok) {
        sleep(1);
        snprintf(commandLine, sizeof(commandLine), "cd %s && %s", in.dir, in.localScript);
        const char* const scriptArgv[] = {in.localScript, nullptr};
        ok = RunProgram(scriptArgv, in.dir, commandLine, LATE_STEP);
        sleep(1);
    }
    ok = CleanUp() && ok;
    if (ok)
        LightLogExt(20000, 1, kSrc, __LINE__, "ARM VersionUpgrade Finish!");
    else
        LightLogExt(30000, 1, kSrc, __LINE__, "The upgrade failed, velmard is started again.");
    ok = RunShell(kStartVelmard, LATE_STEP) && ok;
    CQuorNdkInstallMarker::Remove();
    return ok ? 0 : -2;
}
