// Files of the web uploads: see QuorVelmarUploadFiles.h.
#include "QuorVelmarUploadFiles.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "BoardPath.h"
#include "LightLog.h"

const char kQuorUploadDir[] = "/www/tmp";
const char kQuorUpgradeArmDir[] = "/Velmar/Upgrade/ARM/";
const char kQuorUpgradeMcuDir[] = "/Velmar/Upgrade/MCU/";
const char kQuorUploadTempPrefix[] = ".upload-";

namespace {

const char kSrc[] = "src/QuorVelmarUploadFiles";

// A board path resolved under the board root.
struct Resolved {
    char path[BoardPath::kMaxRoot + QUOR_UPLOAD_NAME_SIZE + 8];
    bool ok;
    explicit Resolved(const char* boardPath) { ok = BoardPath::Resolve(boardPath, path) == 0; }
};

bool NameByteAllowed(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '+' || c == '-';
}

int WriteAll(int fd, const char* data, size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -2;
        data += n;
        length -= (size_t)n;
    }
    return 0;
}

// Copies the file from into a new file to (mode 0664). 0 or -2.
int CopyFile(const char* from, const char* to)
{
    int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return -2;
    int out = open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
    if (out < 0) {
        close(in);
        return -2;
    }
    const size_t kChunk = 64 * 1024;
    std::unique_ptr<char[]> buffer(new char[kChunk]);
    int result = 0;
    ssize_t n;
    while (result == 0 && (n = read(in, buffer.get(), kChunk)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        result = n < 0 ? -2 : WriteAll(out, buffer.get(), (size_t)n);
    }
    close(in);
    if (close(out) != 0)
        result = -2;
    return result;
}

// Across file systems: copy beside the target, rename into place, unlink the
// source. A failure removes the copy and leaves the target as it was.
int MoveAcross(const char* from, const char* to)
{
    char part[sizeof(Resolved::path) + 8];
    if ((size_t)snprintf(part, sizeof(part), "%s.part", to) >= sizeof(part))
        return -2;
    if (CopyFile(from, part) != 0 || rename(part, to) != 0) {
        unlink(part);
        return -2;
    }
    return unlink(from) == 0 ? 0 : -2;
}

} // namespace

const char* CQuorVelmarUploadFiles::ReduceName(const char* name)
{
    if (name == nullptr)
        return nullptr;
    const char* last = name;
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\')
            last = p + 1;
    }
    return last;
}

int CQuorVelmarUploadFiles::CheckName(const char* name)
{
    if (name == nullptr || name[0] == '\0' || name[0] == '.' || name[0] == '-')
        return -2;
    size_t length = 0;
    for (; name[length] != '\0'; ++length) {
        if (length >= kMaxNameLength || !NameByteAllowed((unsigned char)name[length]))
            return -2;
    }
    return 0;
}

void CQuorVelmarUploadFiles::RecordName(const char* partName, const char* fileName)
{
    if (partName == nullptr || fileName == nullptr)
        return;
    size_t length = strlen(fileName);
    QuorSetUpgradeName(g_UpVersion, "");
    if (strncasecmp(partName, "MCU", 3) == 0) {
        std::string name(fileName, length > 4 ? length - 4 : 0);
        QuorSetUpgradeName(g_UpVersion, name.c_str());
    } else if (strncasecmp(partName, "ARM", 3) == 0) {
        QuorSetUpgradeName(g_UpVersion, fileName);
    } else if (strncasecmp(partName, "EDID", 4) == 0) {
        QuorSetUpgradeName(g_EDIDName, fileName);
    }
}

void CQuorVelmarUploadFiles::UpVersion(char* out)
{
    QuorGetUpgradeName(g_UpVersion, out, QUOR_UPLOAD_NAME_SIZE);
}

void CQuorVelmarUploadFiles::EDIDName(char* out)
{
    QuorGetUpgradeName(g_EDIDName, out, QUOR_UPLOAD_NAME_SIZE);
}

void CQuorVelmarUploadFiles::ClearUpVersion()
{
    QuorSetUpgradeName(g_UpVersion, "");
}

int CQuorVelmarUploadFiles::Move(const char* from, const char* to)
{
    Resolved source(from), target(to);
    if (!source.ok || !target.ok)
        return -2;
    int result = rename(source.path, target.path) == 0 ? 0 : -2;
    if (result != 0 && errno == EXDEV)
        result = MoveAcross(source.path, target.path);
    if (result != 0)
        LightLogExt(40000, 0, kSrc, __LINE__, "######move <%s> to <%s> failed: %s.", from, to, strerror(errno));
    return result;
}

int CQuorVelmarUploadFiles::Remove(const char* path)
{
    Resolved file(path);
    if (file.ok && unlink(file.path) == 0)
        return 0;
    LightLogExt(40000, 0, kSrc, __LINE__, "######remove <%s> failed: %s.", path, strerror(errno));
    return -2;
}

int CQuorVelmarUploadFiles::MovePrefixed(const char* dir, const char* prefix, const char* toDir)
{
    Resolved source(dir);
    DIR* listing = source.ok ? opendir(source.path) : nullptr;
    if (listing == nullptr)
        return -2;
    size_t prefixLength = strlen(prefix);
    int moved = 0;
    struct dirent* entry;
    while (moved >= 0 && (entry = readdir(listing)) != nullptr) {
        if (strncmp(entry->d_name, prefix, prefixLength) != 0 || CheckName(entry->d_name) != 0)
            continue;
        char from[QUOR_UPLOAD_NAME_SIZE], to[QUOR_UPLOAD_NAME_SIZE];
        bool ok = JoinPath(dir, entry->d_name, from, sizeof(from)) == 0 &&
                  JoinPath(toDir, entry->d_name, to, sizeof(to)) == 0 && Move(from, to) == 0;
        moved = ok ? moved + 1 : -2;
    }
    closedir(listing);
    return moved > 0 ? moved : -2;
}

int CQuorVelmarUploadFiles::RemoveTemporaries()
{
    Resolved source(kQuorUploadDir);
    DIR* listing = source.ok ? opendir(source.path) : nullptr;
    if (listing == nullptr)
        return 0;
    size_t prefixLength = strlen(kQuorUploadTempPrefix);
    int removed = 0;
    struct dirent* entry;
    while ((entry = readdir(listing)) != nullptr) {
        char path[QUOR_UPLOAD_NAME_SIZE];
        if (strncmp(entry->d_name, kQuorUploadTempPrefix, prefixLength) == 0 &&
            JoinPath(kQuorUploadDir, entry->d_name, path, sizeof(path)) == 0 && Remove(path) == 0)
            ++removed;
    }
    closedir(listing);
    return removed;
}

int CQuorVelmarUploadFiles::JoinPath(const char* dir, const char* name, char* out, size_t outSize)
{
    size_t dirLength = strlen(dir);
    const char* separator = dirLength > 0 && dir[dirLength - 1] == '/' ? "" : "/";
    int length = snprintf(out, outSize, "%s%s%s", dir, separator, name);
    if (length < 0 || (size_t)length >= outSize) {
        if (outSize > 0)
            out[0] = '\0';
        return -2;
    }
    return 0;
}
