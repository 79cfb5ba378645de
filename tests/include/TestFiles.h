// Files of a test: fresh temporary directories (removed with all they hold),
// whole-file reads and writes, and the text of a log kept in several files.
#ifndef TEST_FILES_H
#define TEST_FILES_H

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace test_files {

inline bool PathExists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// The whole file; empty when it cannot be read.
inline std::string ReadText(const std::string& path)
{
    std::string out;
    FILE* f = fopen(path.c_str(), "rbe");
    if (f == nullptr)
        return out;
    char buf[8192];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

inline bool WriteText(const std::string& path, const std::string& text, mode_t mode = 0644)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && chmod(path.c_str(), mode) == 0 && ok;
}

// Removes a directory tree without following symbolic links out of it.
inline void RemoveTree(const std::string& path)
{
    nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int type, struct FTW*) {
            return type == FTW_DP ? rmdir(p) : unlink(p);
        },
        16, FTW_DEPTH | FTW_PHYS);
}

// A fresh directory <parent>/velmar-<tag>-XXXXXX; empty when none could be made.
inline std::string MakeTempDir(const std::string& tag, const std::string& parent = "/tmp")
{
    std::string pattern = parent + "/velmar-" + tag + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    return mkdtemp(buf.data()) != nullptr ? std::string(buf.data()) : std::string();
}

inline size_t CountOf(const std::string& haystack, const std::string& needle)
{
    size_t count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        ++count;
    return count;
}

// Every file of dir whose name starts with prefix, joined in name order
// (log001.log, log001.logTmp, log002.log...).
inline std::string ReadFilesIn(const std::string& dir, const std::string& prefix)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* entry = readdir(d)) {
            if (entry->d_name[0] != '.' && std::string(entry->d_name).rfind(prefix, 0) == 0)
                names.push_back(entry->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string& name : names)
        text += ReadText(dir + "/" + name);
    return text;
}

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
public:
    explicit TempDir(const std::string& tag = "test") : fPath(MakeTempDir(tag)) {}
    ~TempDir()
    {
        if (!fPath.empty())
            RemoveTree(fPath);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool Ok() const { return !fPath.empty(); }
    const std::string& Path() const { return fPath; }
    std::string File(const std::string& name) const { return fPath + "/" + name; }

private:
    std::string fPath;
};

}  // namespace test_files

#endif
