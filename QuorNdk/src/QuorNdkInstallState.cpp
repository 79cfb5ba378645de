#include "QuorNdkInstallState.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "BoardPath.h"
#include "LightLog.h"
#include "OSFun.h"

CQuorNdkInstallGate g_InstallGate;

namespace {

const char kSrc[] = "QuorNdk/src/QuorNdkInstallState";
const char kMarkerDir[] = "/Velmar/etc/QuorNdk";
const char kMarker[] = "/Velmar/etc/QuorNdk/Installing";

using MarkerPath = char[BoardPath::kMaxRoot + sizeof(kMarker)];

bool Resolve(const char* boardPath, MarkerPath& out)
{
    return BoardPath::Resolve(boardPath, out) == 0;
}

// Makes a rename or unlink in the marker's directory durable.
bool SyncMarkerDir()
{
    MarkerPath dir;
    if (!Resolve(kMarkerDir, dir))
        return false;
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0)
        close(fd);
    return ok;
}

} // namespace

int CQuorNdkInstallMarker::Write(const char* text)
{
    MarkerPath path;
    if (!Resolve(kMarker, path) || COSFun::WriteFileAtomic(path, text, strnlen(text, kMaxText), 0644) != 0) {
        LightLogExt(40000, 1, kSrc, __LINE__, "###### Fail to write the install marker <%s>.", kMarker);
        return -1;
    }
    return 0;
}

int CQuorNdkInstallMarker::Remove()
{
    MarkerPath path;
    if (!Resolve(kMarker, path))
        return -1;
    if (unlink(path) != 0 && errno != ENOENT) {
        LightLogExt(40000, 1, kSrc, __LINE__, "###### Fail to remove the install marker <%s>: %s.", path,
                    strerror(errno));
        return -1;
    }
    SyncMarkerDir();
    return 0;
}

int CQuorNdkInstallMarker::Read(char* text, size_t cap)
{
    MarkerPath path;
    text[0] = '\0';
    if (!Resolve(kMarker, path))
        return 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return errno == ENOENT ? 0 : 1;
    ssize_t n = read(fd, text, cap - 1);
    close(fd);
    text[n > 0 ? n : 0] = '\0';
    return 1;
}

bool CQuorNdkInstallGate::Enter()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Closed)
        return false;
    m_Busy = true;
    return true;
}

void CQuorNdkInstallGate::Leave()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Busy = false;
    m_Ended.notify_all();
}

void CQuorNdkInstallGate::CloseAndWait()
{
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Closed = true;
    m_Ended.wait(lock, [this] { return !m_Busy; });
}

bool CQuorNdkInstallGate::Busy()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Busy;
}
