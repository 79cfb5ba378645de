#include "OSFun.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include "LightLog.h"

namespace {

const char* const kSrc = "utility/OSFun";
const size_t kMaxSeekPath = 512;      // "%s/%s" of SeekDir, with its terminator
const size_t kMaxTreePath = 259;      // longest path DeleteTree accepts
const size_t kMaxMakeDirPath = 255;   // longest path RecursiveMakeDir accepts
const size_t kMaxDirName = 1025;      // longest result of GetDirFromFileName

bool IsTrimmed(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Broken-down time of t in UTC or local time.
bool BreakDown(time_t t, bool gmt, struct tm* parts)
{
    return (gmt ? gmtime_r(&t, parts) : localtime_r(&t, parts)) != nullptr;
}

int FormatTime(time_t t, char* buffer, size_t size, bool gmt, bool compact, bool weekday)
{
    if (buffer == nullptr || size == 0)
        return -1;
    struct tm p;
    if (!BreakDown(t, gmt, &p)) {
        buffer[0] = '\0';
        return -1;
    }
    int n;
    if (p.tm_year + 1900 == 1970)
        n = snprintf(buffer, size, "1970010101000000");
    else if (compact && weekday)
        n = snprintf(buffer, size, "%04d%02d%02d%02d%02d%02d%02d%s", p.tm_year + 1900, p.tm_mon + 1,
                     p.tm_mday, p.tm_wday, p.tm_hour, p.tm_min, p.tm_sec, gmt ? "GMT" : "");
    else if (compact)
        n = snprintf(buffer, size, "%04d%02d%02d%02d%02d%02d%s", p.tm_year + 1900, p.tm_mon + 1,
                     p.tm_mday, p.tm_hour, p.tm_min, p.tm_sec, gmt ? "GMT" : "");
    else
        n = snprintf(buffer, size, "%04d-%02d-%02d %02d:%02d:%02d%s", p.tm_year + 1900, p.tm_mon + 1,
                     p.tm_mday, p.tm_hour, p.tm_min, p.tm_sec, gmt ? "GMT" : "");
    if (n < 0 || (size_t)n >= size) {
        buffer[0] = '\0';
        return -1;
    }
    return 0;
}

// Reads count digits at text as a number; false if one is not a digit.
bool Digits(const char* text, int count, int* value)
{
    int v = 0;
    for (int i = 0; i < count; ++i) {
        unsigned char c = (unsigned char)text[i];
        if (!isdigit(c))
            return false;
        v = v * 10 + (c - '0');
    }
    *value = v;
    return true;
}

time_t ParseCompact(const char* text, bool gmt, bool weekday)
{
    if (text == nullptr)
        return 0;
    size_t len = strlen(text);
    if (len >= 3 && strcmp(text + len - 3, "GMT") == 0)
        len -= 3;
    size_t expected = weekday ? 16 : 14;
    if (len != expected)
        return 0;
    struct tm p;
    memset(&p, 0, sizeof(p));
    int year, mon, wday;
    const char* s = text;
    if (!Digits(s, 4, &year) || !Digits(s + 4, 2, &mon) || !Digits(s + 6, 2, &p.tm_mday))
        return 0;
    s += 8;
    if (weekday) {
        if (!Digits(s, 2, &wday))
            return 0;
        s += 2;
    }
    if (!Digits(s, 2, &p.tm_hour) || !Digits(s + 2, 2, &p.tm_min) || !Digits(s + 4, 2, &p.tm_sec))
        return 0;
    p.tm_year = year - 1900;
    p.tm_mon = mon - 1;
    p.tm_isdst = -1;
    time_t t = gmt ? timegm(&p) : mktime(&p);
    return t == (time_t)-1 ? 0 : t;
}

// The next entry of dir other than "." and ".."; null at the end.
struct dirent* NextChild(DIR* dir)
{
    struct dirent* entry = readdir(dir);
    while (entry != nullptr && (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0))
        entry = readdir(dir);
    return entry;
}

int DeleteTreeBelow(const std::string& path)
{
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr)
        return 2;
    int result = 0;
    while (struct dirent* entry = NextChild(dir)) {
        std::string child = path + "/" + entry->d_name;
        struct stat st;
        if (lstat(child.c_str(), &st) != 0) {
            result = COSFun::ChangeErrCode(errno);
            break;
        }
        if (S_ISDIR(st.st_mode)) {
            result = DeleteTreeBelow(child);
            if (result != 0)
                break;
        } else if (unlink(child.c_str()) != 0) {
            result = COSFun::ChangeErrCode(errno);
            break;
        }
    }
    closedir(dir);
    if (result != 0)
        return result;
    return rmdir(path.c_str()) == 0 ? 0 : COSFun::ChangeErrCode(errno);
}

struct OwnerIds {
    uid_t uid;
    gid_t gid;
};

int ChownEntry(const char* path, void* arg)
{
    const OwnerIds* ids = static_cast<const OwnerIds*>(arg);
    return COSFun::RecursiveChown(path, ids->uid, ids->gid);
}

// Calls one of the two callback forms.
struct SeekTarget {
    COSFun::SeekDirCallback plain;
    COSFun::SeekDirCallbackArg withArg;
    void* arg;
    int Call(const char* path) const { return plain != nullptr ? plain(path) : withArg(path, arg); }
};

int SeekDirWith(const char* path, const SeekTarget& target)
{
    if (path == nullptr)
        return 0;
    DIR* dir = opendir(path);
    if (dir == nullptr)
        return 0;
    int result = 0;
    while (struct dirent* entry = NextChild(dir)) {
        char child[kMaxSeekPath];
        int n = snprintf(child, sizeof(child), "%s/%s", path, entry->d_name);
        if (n < 0 || (size_t)n >= sizeof(child)) {
            LightLogExt(30000, 0, kSrc, __LINE__, "######SeekDir: path of <%s> in <%.200s> too long, skipped.",
                        entry->d_name, path);
            continue;
        }
        result = target.Call(child);
        if (result < 0)
            break;
    }
    closedir(dir);
    return result;
}

bool WriteAll(int fd, const unsigned char* data, size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= (size_t)n;
    }
    return true;
}

// Best effort: makes a rename durable.
void SyncDirectoryOf(const char* path)
{
    std::string dir;
    COSFun::GetDirFromFileName(path, dir);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

}  // namespace

int COSFun::Daemonize(const char* name, void (*handler)(int))
{
    (void)name;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid > 0)
        _exit(0);
    if (setsid() < 0)
        return -1;
    for (int sig = 1; sig <= 31; ++sig)
        if (sig != SIGCHLD)
            signal(sig, SIG_IGN);  // SIGKILL and SIGSTOP are refused by the system
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = handler != nullptr ? handler : SIG_IGN;
    sigemptyset(&action.sa_mask);
    sigaction(SIGHUP, &action, nullptr);
    return 0;
}

int COSFun::ChangeErrCode(int err)
{
    switch (err) {
    case ENOENT: return 2;
    case EACCES: return 3;
    case EEXIST: return 4;
    case ENOSPC: return 5;
    case ENOTEMPTY: return 6;
    case EMFILE: return 7;
    default: return 8;
    }
}

int COSFun::strncasecmp(const char* a, const char* b, int len)
{
    if (a == nullptr || b == nullptr)
        return -1;
    if (len <= 0)
        return 0;
    int i = 0;
    for (; i < len; ++i) {
        unsigned char ca = (unsigned char)a[i];
        unsigned char cb = (unsigned char)b[i];
        if (ca == 0 || cb == 0)
            break;
        int diff = tolower(ca) - tolower(cb);
        if (diff != 0)
            return diff;
    }
    if (a[i] == '\0' && b[i] != '\0')
        return -1;
    if (b[i] == '\0' && a[i] != '\0')
        return 1;
    return 0;
}

int COSFun::strcasecmp(const char* a, const char* b)
{
    if (a == nullptr || b == nullptr)
        return -1;
    if (a[0] == '\0')
        return -(int)strlen(b);
    return strncasecmp(a, b, (int)strlen(a));
}

char* COSFun::strstrim(char* text)
{
    if (text == nullptr)
        return text;
    size_t len = strlen(text);
    while (len > 1 && IsTrimmed(text[len - 1]))
        text[--len] = '\0';
    return text;
}

std::string& COSFun::strstrim(std::string& text)
{
    size_t len = text.size();
    while (len > 1 && IsTrimmed(text[len - 1]))
        --len;
    text.resize(len);
    return text;
}

int COSFun::MinutesWestToHours(int minutesWest)
{
    return -minutesWest / 60;
}

int COSFun::GetTimeZone()
{
    time_t now = time(nullptr);
    struct tm parts;
    if (localtime_r(&now, &parts) == nullptr)
        return 0;
    return MinutesWestToHours((int)(-parts.tm_gmtoff / 60));
}

std::string COSFun::Time_t2String(time_t t, bool gmt, bool compact)
{
    char buffer[64];
    if (FormatTime(t, buffer, sizeof(buffer), gmt, compact, false) != 0)
        return std::string();
    return buffer;
}

std::string COSFun::GetTimeStr(bool gmt, bool compact)
{
    return Time_t2String(time(nullptr), gmt, compact);
}

int COSFun::Time_t2StringChar(time_t t, char* buffer, size_t size, bool gmt, bool compact)
{
    return FormatTime(t, buffer, size, gmt, compact, false);
}

int COSFun::Time_t2StringCharW(time_t t, char* buffer, size_t size, bool gmt, bool compact)
{
    return FormatTime(t, buffer, size, gmt, compact, true);
}

time_t COSFun::String2Time_t(const char* text, bool gmt)
{
    return ParseCompact(text, gmt, false);
}

time_t COSFun::StringW2Time_t(const char* text, bool gmt)
{
    return ParseCompact(text, gmt, true);
}

int COSFun::IsFileExisted(const char* path)
{
    struct stat st;
    return path != nullptr && stat(path, &st) == 0 ? 1 : 0;
}

int COSFun::IsDir(const char* path)
{
    struct stat st;
    if (path == nullptr || stat(path, &st) != 0)
        return -1;
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

int COSFun::MakeDir(const char* path, mode_t mode)
{
    if (path == nullptr || path[0] == '\0')
        return -1;
    int isDir = IsDir(path);
    if (isDir == 1)
        return 0;
    if (isDir == 0)
        return -1;
    if (mkdir(path, mode) != 0)
        return errno == EEXIST && IsDir(path) == 1 ? 0 : -1;
    chmod(path, mode);
    return 0;
}

int COSFun::RecursiveMakeDir(const char* path, mode_t mode)
{
    if (path == nullptr || strlen(path) > kMaxMakeDirPath)
        return -1;
    std::string full(path);
    for (char& c : full)
        if (c == '\\')
            c = '/';
    for (size_t i = 1; i < full.size(); ++i) {
        if (full[i] != '/' || full[i - 1] == '/' || full[i - 1] == ':')
            continue;
        int result = MakeDir(full.substr(0, i).c_str(), mode);
        if (result != 0)
            return result;
    }
    return MakeDir(full.c_str(), mode);
}

int COSFun::DeleteTree(const char* path)
{
    if (path == nullptr)
        return 2;
    if (strlen(path) > kMaxTreePath)
        return 1;
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISDIR(st.st_mode))
        return 2;
    return DeleteTreeBelow(path);
}

int COSFun::SeekDir(const char* path, SeekDirCallback callback)
{
    if (callback == nullptr)
        return 0;
    return SeekDirWith(path, SeekTarget{callback, nullptr, nullptr});
}

int COSFun::SeekDir(const char* path, SeekDirCallbackArg callback, void* arg)
{
    if (callback == nullptr)
        return 0;
    return SeekDirWith(path, SeekTarget{nullptr, callback, arg});
}

int COSFun::RecursiveChown(const char* path, uid_t uid, gid_t gid)
{
    struct stat st;
    if (path == nullptr || lstat(path, &st) != 0 || lchown(path, uid, gid) != 0)
        return -1;
    if (!S_ISDIR(st.st_mode))
        return 0;
    OwnerIds ids{uid, gid};
    return SeekDir(path, ChownEntry, &ids) < 0 ? -1 : 0;
}

int COSFun::RecursiveChown(const char* path, const char* user, const char* group)
{
    if (path == nullptr || user == nullptr || group == nullptr)
        return -2;
    std::vector<char> buf(16384);
    struct passwd pw;
    struct passwd* pwFound = nullptr;
    if (getpwnam_r(user, &pw, buf.data(), buf.size(), &pwFound) != 0 || pwFound == nullptr)
        return -4;
    uid_t uid = pw.pw_uid;
    struct group gr;
    struct group* grFound = nullptr;
    if (getgrnam_r(group, &gr, buf.data(), buf.size(), &grFound) != 0 || grFound == nullptr)
        return -3;
    return RecursiveChown(path, uid, gr.gr_gid);
}

int COSFun::WriteFileAtomic(const char* path, const void* data, size_t length, mode_t mode)
{
    if (path == nullptr || path[0] == '\0' || (data == nullptr && length > 0))
        return -1;
    std::string temp = std::string(path) + ".tmp";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######WriteFileAtomic: cannot create <%s>, errno <%d>.", temp.c_str(),
                    errno);
        return -1;
    }
    bool ok = WriteAll(fd, static_cast<const unsigned char*>(data), length) && fchmod(fd, mode) == 0 &&
              fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok && rename(temp.c_str(), path) == 0) {
        SyncDirectoryOf(path);
        return 0;
    }
    LightLogExt(40000, 0, kSrc, __LINE__, "######WriteFileAtomic: writing <%s> failed, errno <%d>; old file kept.",
                path, errno);
    unlink(temp.c_str());
    return -1;
}

int COSFun::StringToFile(const std::string& text, const char* path)
{
    return WriteFileAtomic(path, text.data(), text.size(), 0664) == 0 ? (int)text.size() : -1;
}

int COSFun::FileToString(const char* path, std::string& text)
{
    text.clear();
    if (path == nullptr)
        return -1;
    FILE* f = fopen(path, "rbe");
    if (f == nullptr)
        return -1;
    char chunk[1024];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0)
        text.append(chunk, n);
    fclose(f);
    return (int)text.size();
}

void COSFun::GetDirFromFileName(const char* path, std::string& dir)
{
    if (path == nullptr)
        return;
    const char* slash = strrchr(path, '/');
    if (slash == nullptr) {
        dir = ".";
        return;
    }
    size_t len = (size_t)(slash - path) + 1;
    dir.assign(path, len < kMaxDirName ? len : kMaxDirName);
}

void COSFun::FormatDirName(std::string& dir)
{
    if (dir.empty())
        return;
    for (char& c : dir)
        if (c == '\\')
            c = '/';
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    if (dir != "/")
        dir.push_back('/');
}

void COSFun::FormatFileName(std::string& name)
{
    std::string out;
    out.reserve(name.size());
    for (char c : name) {
        if (c == '\\')
            c = '/';
        if (c == '/' && !out.empty() && out.back() == '/')
            continue;
        out.push_back(c);
    }
    name.swap(out);
}

bool COSFun::IsFilePostfix(const char* name, const char* postfix)
{
    if (name == nullptr || postfix == nullptr)
        return false;
    size_t nameLen = strlen(name);
    size_t postLen = strlen(postfix);
    if (postLen > nameLen)
        return false;
    return strncasecmp(name + nameLen - postLen, postfix, (int)postLen) == 0;
}
