#include "QuorVelmarTaskChain.h"

#include <cerrno>
#include <ctime>

#include "LightLog.h"

namespace {

const char kSrc[] = "src/QuorVelmarTaskChain";

void LogText(uint32_t level, const char* text)
{
    if (text != nullptr)
        LightLogExt(level, 1, kSrc, __LINE__, "%s", text);
}

// Runs one task link: true when the chain goes on.
bool RunTaskLink(const T_QuorTaskLink& link)
{
    int result = link.pfnStart != nullptr ? link.pfnStart() : QUOR_LINK_INIT_FAILED;
    if (result == QUOR_LINK_OK) {
        if (link.eKind == T_QuorTaskLink::kSoft)
            LogText(20000, link.pSuccessText);
        return true;
    }
    LogText(40000, result == QUOR_LINK_NO_MEMORY ? link.pNoMemoryText : link.pInitFailText);
    return link.eKind == T_QuorTaskLink::kSoft;
}

} // namespace

void CQuorVelmarTaskChain::PauseSeconds(uint32_t seconds)
{
    struct timespec left = {static_cast<time_t>(seconds), 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

size_t CQuorVelmarTaskChain::Run(const T_QuorTaskLink* links, size_t count, PauseFn pause)
{
    size_t run = 0;
    while (links != nullptr && run < count) {
        const T_QuorTaskLink& link = links[run++];
        if (link.eKind == T_QuorTaskLink::kPause) {
            (pause != nullptr ? pause : PauseSeconds)(link.u32PauseSeconds);
            continue;
        }
        if (!RunTaskLink(link))
            break;
    }
    return run;
}
