// RebootFactory: the factory reset (see QuorVelmarFunction.h).
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "LightLog.h"
#include "QuorVelmarFunction.h"

namespace {

const char kSource[] = "src/QuorVelmarFunction";
const char kResetDone[] = "Factory Reset is OK and system reboot Now!";

// How a copy is reported in the log (in the order of LogCopied's texts).
enum class CopyKind { kSystemFile, kNetworkScript, kLogo, kPreferences };

struct FactoryCopy {
    const char* from;
    const char* to;
    CopyKind kind;
    unsigned int waitSeconds;   // pause after the copy
};

// The factory copies, in the order they are restored.
const FactoryCopy kFactoryCopies[] = {
    {"/var/tmpfs/SavePowerOff_Default.conf", "/var/tmpfs/SavePowerOff.conf", CopyKind::kSystemFile, 1},
    {"/var/tmpfs/interfaces_static", "/etc/network/interfaces", CopyKind::kNetworkScript, 0},
    {"/Velmar/bin/S50dropbear_static", "/etc/init.d/S50dropbear", CopyKind::kSystemFile, 0},
    {"/usr/sbin/configip_bak", "/usr/sbin/configip", CopyKind::kSystemFile, 0},
    {"/www/images/logo_factory.png", "/www/images/logo.png", CopyKind::kLogo, 1},
    {"/Velmar/etc/Velmar_factory.xml", "/Velmar/etc/Velmar.xml", CopyKind::kPreferences, 0},
};

void LogCopied(CopyKind kind, const char* command)
{
    // What the log calls a copy done, by CopyKind.
    static const char* const kCopiedText[] = {"system is", "system script reset is", "reuse Logo Image is",
                                              "Use Factory XML is"};
    LightLogExt(LLOG_LEVEL_INFO, 1, kSource, __LINE__, "%s <%s> OK!", kCopiedText[static_cast<int>(kind)], command);
}

void LogCopyFailed(CopyKind kind, const char* command, int status)
{
    if (kind == CopyKind::kNetworkScript)
        LightLogExt(LLOG_LEVEL_ERROR, 1, kSource, __LINE__, "######pox_system <%s> Error and s32Rst is <%d>.",
                    command, status);
    else
        LightLogExt(LLOG_LEVEL_ERROR, 1, kSource, __LINE__, "######system is <%s> s32Rst is <%d> Error!", command,
                    status);
}

void SleepSeconds(unsigned int seconds)
{
    struct timespec left = {static_cast<time_t>(seconds), 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Runs one copy; false (logged) when it failed.
bool RestoreCopy(const FactoryCopy& copy, QuorSleepSecondsFn sleepSeconds)
{
    char command[512];
    int n = snprintf(command, sizeof(command), "cp -f %s %s", copy.from, copy.to);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(command)) {
        LogCopyFailed(copy.kind, copy.from, -1);
        return false;
    }
    int status = pox_system(command);
    if (status != 0) {
        LogCopyFailed(copy.kind, command, status);
        return false;
    }
    LogCopied(copy.kind, command);
    if (copy.waitSeconds != 0)
        sleepSeconds(copy.waitSeconds);
    return true;
}

}  // namespace

int RebootFactory(QuorSleepSecondsFn sleepSeconds)
{
    if (sleepSeconds == nullptr)
        sleepSeconds = SleepSeconds;
    for (const FactoryCopy& copy : kFactoryCopies) {
        if (!RestoreCopy(copy, sleepSeconds))
            return 0;
    }
    int status = pox_system("sync");
    if (status != 0) {
        LightLogExt(LLOG_LEVEL_ERROR, 1, kSource, __LINE__, "######system sync is Error, s32Rst is <%d>!", status);
        return 0;
    }
    LightLogExt(LLOG_LEVEL_INFO, 1, kSource, __LINE__, "system sync is OK!");
    sleepSeconds(5);
    LightLogExt(LLOG_LEVEL_INFO, 1, kSource, __LINE__, "%s", kResetDone);
    printf("%s\n", kResetDone);
    fflush(stdout);
    RebootSystem();
    return 1;
}
