#include "QuorNdkInstallState.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "BoardPath.h"
#include "LightLog.h"

CQuorNdkInstallGate g_InstallGate;

namespace {

const char kSrc[] = "QuorNdk/src/QuorNdkInstallState";
const char kMarkerDir[] = "/Velmar/etc/QuorNdk";
const char kMarker[] = "/Velmar/etc/QuorNdk/Installing";
const char kMarkerNew[] = "/Velmar/etc/QuorNdk/Installing.new";

using MarkerPath = char[BoardPath::kMaxRoot + sizeof(kMarkerNew)];

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

bool WriteAll(int fd, const char* text, size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, text, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        text += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

int CQuorNdkInstallMarker::Write(const char* text)
{
    MarkerPath path, fresh;
    if (!Resolve(kMarker, path) || !Resolve(kMarkerNew, fresh))
        return -1;
    int fd = open(fresh, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    bool ok = fd >= 0 && WriteAll(fd, text, strnlen(text, kMaxText)) && fsync(fd) == 0;
    ok = fd >= 0 && close(fd) == 0 && ok;
    ok = ok && rename(fresh, path) == 0 && SyncMarkerDir();
    if (!ok) {
        LightLogExt(40000, 1, kSrc, __LINE__, "###### Fail to write the install marker <%s>: %s.", path,
                    strerror(errno));
        unlink(fresh);
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
