// The safety rule of shell commands on a simulated board: see ShellCommandGuard.h.
#include "ShellCommandGuard.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const kGuardedNames[] = {
    // The board's own programs that reconfigure or restart the device.
    "reboot", "configip", "setip", "udhcpc",
    // The machine's programs of the same kind.
    "halt", "poweroff", "shutdown", "init", "telinit", "systemctl", "service",
    "invoke-rc.d", "update-rc.d", "ifconfig", "route", "ifup", "ifdown", "dhclient",
    nullptr};

const char* const kProgramDirs[] = {"usr/sbin", "usr/bin", "sbin", "bin", nullptr};

// Programs that run (part of) their arguments as commands: every argument
// after them is checked as a command text of its own.
const char* const kWrappers[] = {
    "sh", "bash", "dash", "ash", "ksh", "zsh", "busybox", "eval", "exec", "command",
    "builtin", "nohup", "env", "nice", "ionice", "timeout", "setsid", "stdbuf", "sudo",
    "doas", "su", "runuser", "setpriv", "xargs", "chroot", "chrt", "taskset", "flock",
    "watch", "nsenter", "unshare", "time", "strace", "ltrace", "find", "parallel",
    "start-stop-daemon", "script", "trap", "alias", "fakeroot", ".", "source", nullptr};

// Words that keep the next word in command position.
const char* const kReservedWords[] = {
    "!", "{", "}", "if", "then", "else", "elif", "fi", "do", "done", "while", "until", nullptr};

constexpr int kMaxDepth = 8;
constexpr size_t kMaxWord = 4096;
constexpr size_t kMaxPath = 4096;

bool InList(const char* const* list, const char* word)
{
    for (; *list != nullptr; ++list) {
        if (strcmp(*list, word) == 0)
            return true;
    }
    return false;
}

const char* BaseName(const char* path)
{
    const char* slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

bool IsAssignment(const char* word)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(word);
    if (!isalpha(*p) && *p != '_')
        return false;
    while (isalnum(*p) || *p == '_')
        ++p;
    return *p == '=' || (p[0] == '+' && p[1] == '=');
}

bool SetsPath(const char* word)
{
    return strncmp(word, "PATH=", 5) == 0 || strncmp(word, "PATH+=", 6) == 0;
}

// A path that goes through a directory named "init.d".
bool IsInitScriptPath(const char* path)
{
    const char* found = strstr(path, "init.d/");
    while (found != nullptr) {
        if (found == path || found[-1] == '/')
            return true;
        found = strstr(found + 1, "init.d/");
    }
    return false;
}

bool AllDigits(const char* text, size_t len)
{
    if (len == 0)
        return false;
    for (size_t i = 0; i < len; ++i) {
        if (!isdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

// One word of a command text, quotes removed.
struct Word {
    char text[kMaxWord];
    size_t len;
    bool started;       // something (possibly an empty quote) was read
    bool quoted;        // some part was quoted
    bool dynamic;       // holds an expansion or a file name pattern
    bool openBracket;   // an unquoted "[" was read (a "]" after it is a pattern)
    bool overflow;

    void Clear()
    {
        len = 0;
        text[0] = '\0';
        started = quoted = dynamic = openBracket = overflow = false;
    }
    void Add(char c)
    {
        started = true;
        if (len + 1 >= sizeof(text)) {
            overflow = true;
            return;
        }
        text[len++] = c;
        text[len] = '\0';
    }
};

// Where the reader stands in one simple command.
struct SimpleCommand {
    bool atCommand = true;     // the next word is a command word
    bool redirTarget = false;  // the next word is the target of a redirection
    bool wrapperArgs = false;  // the words are the arguments of a wrapper
    bool cdTarget = false;     // the next word is the directory of "cd"
};

constexpr size_t kMaxDirs = 8;

// Reads a command text and checks each command word against the guard.
class GuardScan {
public:
    GuardScan(const ShellCommandGuard& guard, char* reason, size_t cap)
        : m_Guard(guard), m_pReason(reason), m_Cap(cap), m_b8DirUnknown(false)
    {
        char cwd[kMaxPath];
        if (getcwd(cwd, sizeof(cwd)) != nullptr)
            m_Dirs.push_back(cwd);
        else
            m_b8DirUnknown = true;
    }

    bool CheckText(const char* text, int depth)
    {
        if (depth > kMaxDepth)
            return Refuse("the command nests too deeply to be checked", "");
        return ScanList(text, '\0', depth) != nullptr;
    }

private:
    bool Refuse(const char* what, const char* word)
    {
        if (m_pReason != nullptr && m_Cap > 0)
            snprintf(m_pReason, m_Cap, "%s%s%s%s", word[0] != '\0' ? "\"" : "", word,
                     word[0] != '\0' ? "\" " : "", what);
        return false;
    }

    // Refuses the text as a whole; returns null for the scanners.
    const char* RefuseText(const char* what)
    {
        Refuse(what, "");
        return nullptr;
    }

    // Scans commands up to `terminator` ('\0': end of text, ')': end of a
    // "$(" substitution, '`': end of a backquote substitution). Returns the
    // position after the terminator, or null when the text is refused.
    const char* ScanList(const char* p, char terminator, int depth)
    {
        SimpleCommand cmd;
        Word word;
        word.Clear();
        int parens = 0;
        for (;;) {
            char c = *p;
            if (c == '\0') {
                if (terminator != '\0')
                    return RefuseText("has an unterminated command substitution");
                return Separate(cmd, word, depth) ? p : nullptr;
            }
            if ((c == terminator && terminator == '`') || (c == ')' && terminator == ')' && parens == 0))
                return Separate(cmd, word, depth) ? p + 1 : nullptr;
            p = ScanChar(p, cmd, word, parens, depth);
            if (p == nullptr)
                return nullptr;
        }
    }

    // Handles the character at p outside quotes; returns the next position.
    const char* ScanChar(const char* p, SimpleCommand& cmd, Word& word, int& parens, int depth)
    {
        switch (*p) {
        case ' ':
        case '\t':
            return FinishWord(cmd, word, depth) ? p + 1 : nullptr;
        case '\n':
        case ';':
        case '&':
        case '|':
            return Separate(cmd, word, depth) ? p + 1 : nullptr;
        case '(':
            ++parens;
            return Separate(cmd, word, depth) ? p + 1 : nullptr;
        case ')':
            if (parens > 0)
                --parens;
            return Separate(cmd, word, depth) ? p + 1 : nullptr;
        case '<':
        case '>':
            return Redirect(p, cmd, word, depth);
        case '#':
            if (!word.started) {
                while (p[1] != '\0' && p[1] != '\n')
                    ++p;
                return p + 1;
            }
            word.Add('#');
            return p + 1;
        case '\\':
            if (p[1] == '\n')
                return p + 2;
            if (p[1] == '\0')
                return p + 1;
            word.quoted = true;
            word.Add(p[1]);
            return p + 2;
        case '\'':
            return ScanSingleQuoted(p + 1, word);
        case '"':
            return ScanDoubleQuoted(p + 1, word, depth);
        default:
            return ScanPlain(p, word, depth);
        }
    }

    // Expansions, patterns and ordinary characters outside quotes.
    const char* ScanPlain(const char* p, Word& word, int depth)
    {
        switch (*p) {
        case '`':
            return Substitution(p + 1, '`', word, depth);
        case '$':
            if (p[1] == '(')
                return Substitution(p + 2, ')', word, depth);
            word.dynamic = true;
            break;
        case '*':
        case '?':
            word.dynamic = true;
            break;
        case '[':
            word.openBracket = true;
            break;
        case ']':
            if (word.openBracket)
                word.dynamic = true;
            break;
        default:
            break;
        }
        word.Add(*p);
        return p + 1;
    }

    const char* Substitution(const char* p, char terminator, Word& word, int depth)
    {
        word.started = true;
        word.dynamic = true;
        if (depth + 1 > kMaxDepth)
            return RefuseText("the command nests too deeply to be checked");
        return ScanList(p, terminator, depth + 1);
    }

    const char* ScanSingleQuoted(const char* p, Word& word)
    {
        word.started = true;
        word.quoted = true;
        for (; *p != '\'' && *p != '\0'; ++p)
            word.Add(*p);
        if (*p == '\0')
            return RefuseText("has an unterminated quote");
        return p + 1;
    }

    const char* ScanDoubleQuoted(const char* p, Word& word, int depth)
    {
        word.started = true;
        word.quoted = true;
        while (*p != '"') {
            if (*p == '\0')
                return RefuseText("has an unterminated quote");
            if (*p == '\\' && p[1] != '\0' && strchr("$`\"\\\n", p[1]) != nullptr) {
                if (p[1] != '\n')
                    word.Add(p[1]);
                p += 2;
            } else if (*p == '`' || (*p == '$' && p[1] == '(')) {
                p = *p == '`' ? Substitution(p + 1, '`', word, depth) : Substitution(p + 2, ')', word, depth);
                if (p == nullptr)
                    return nullptr;
            } else {
                if (*p == '$')
                    word.dynamic = true;
                word.Add(*p++);
            }
        }
        return p + 1;
    }

    // "<", ">" and their forms (">>", ">&", "<<", "2>", ...): the next word is
    // a file or a descriptor, not a command.
    const char* Redirect(const char* p, SimpleCommand& cmd, Word& word, int depth)
    {
        if (!word.quoted && AllDigits(word.text, word.len))
            word.Clear();
        else if (!FinishWord(cmd, word, depth))
            return nullptr;
        cmd.redirTarget = true;
        ++p;
        while (*p != '\0' && strchr("<>&|-", *p) != nullptr)
            ++p;
        return p;
    }

    // Ends the simple command (a separator, or the end of the text).
    bool Separate(SimpleCommand& cmd, Word& word, int depth)
    {
        if (!FinishWord(cmd, word, depth))
            return false;
        if (cmd.cdTarget)   // "cd" alone goes to a home directory
            m_b8DirUnknown = true;
        cmd = SimpleCommand();
        return true;
    }

    // The directory of a "cd": relative paths after it may start there. The
    // text may or may not reach it, so the directories before it stay possible.
    bool TrackDirectory(SimpleCommand& cmd, const Word& word)
    {
        if (word.text[0] == '-' && word.text[1] != '\0' && !word.quoted)
            return true;   // an option of cd
        cmd.cdTarget = false;
        if (word.dynamic || word.overflow || word.text[0] != '/' || m_Dirs.size() >= kMaxDirs)
            m_b8DirUnknown = true;
        else
            m_Dirs.push_back(word.text);
        return true;
    }

    bool FinishWord(SimpleCommand& cmd, Word& word, int depth)
    {
        if (!word.started)
            return true;
        bool ok = CheckWord(cmd, word, depth);
        word.Clear();
        return ok;
    }

    bool CheckWord(SimpleCommand& cmd, const Word& word, int depth)
    {
        if (SetsPath(word.text))
            return Refuse("changes PATH", word.text);
        if (cmd.redirTarget) {
            cmd.redirTarget = false;
            return true;
        }
        if (cmd.cdTarget)
            return TrackDirectory(cmd, word);
        if (cmd.wrapperArgs) {
            if (word.overflow)
                return Refuse("is too long to be checked", "");
            return CheckText(word.text, depth + 1);
        }
        if (!cmd.atCommand || IsAssignment(word.text))
            return true;
        if (!word.quoted && InList(kReservedWords, word.text))
            return true;
        if (!CheckProgram(word))
            return false;
        cmd.atCommand = false;
        cmd.wrapperArgs = InList(kWrappers, BaseName(word.text));
        cmd.cdTarget = strcmp(word.text, "cd") == 0 || strcmp(word.text, "pushd") == 0;
        return true;
    }

    bool CheckProgram(const Word& word)
    {
        if (word.overflow)
            return Refuse("is too long to be checked", "");
        if (word.dynamic)
            return Refuse("is built from an expansion, so its program cannot be told", word.text);
        const char* name = word.text;
        if (strchr(name, '/') == nullptr) {
            if (!ShellCommandGuard::IsGuardedName(name))
                return true;
            int found = m_Guard.FindBoardProgram(name);
            if (found > 0)
                return true;
            return Refuse(found < 0 ? "is not a program of the board root"
                                    : "does not resolve inside the board root",
                          name);
        }
        if (name[0] != '/')
            return CheckRelativeProgram(name);
        if (IsMachineChanging(name) && !m_Guard.IsBoardProgram(name))
            return Refuse("does not resolve inside the board root", name);
        return true;
    }

    static bool IsMachineChanging(const char* path)
    {
        return ShellCommandGuard::IsGuardedName(BaseName(path)) || IsInitScriptPath(path);
    }

    // A relative path is checked from every directory the command may be in.
    bool CheckRelativeProgram(const char* name)
    {
        if (m_b8DirUnknown)
            return Refuse("is a relative path from a directory that cannot be told", name);
        for (const std::string& dir : m_Dirs) {
            std::string path = dir + "/" + name;
            if (path.size() >= kMaxPath)
                return Refuse("is too long to be checked", "");
            if (IsMachineChanging(path.c_str()) && !m_Guard.IsBoardProgram(path.c_str()))
                return Refuse("does not resolve inside the board root", name);
        }
        return true;
    }

    const ShellCommandGuard& m_Guard;
    char* m_pReason;
    size_t m_Cap;
    std::vector<std::string> m_Dirs;   // directories the command may be in
    bool m_b8DirUnknown;
};

} // namespace

ShellCommandGuard::ShellCommandGuard(const char* root)
{
    m_cRoot[0] = '\0';
    m_cRealRoot[0] = '\0';
    if (root == nullptr || strlen(root) >= sizeof(m_cRoot))
        return;
    snprintf(m_cRoot, sizeof(m_cRoot), "%s", root);
    char real[PATH_MAX];
    if (root[0] != '\0' && realpath(root, real) != nullptr && strlen(real) < sizeof(m_cRealRoot))
        snprintf(m_cRealRoot, sizeof(m_cRealRoot), "%s", real);
}

int ShellCommandGuard::Check(const char* command, char* reason, size_t cap) const
{
    if (reason != nullptr && cap > 0)
        reason[0] = '\0';
    GuardScan scan(*this, reason, cap);
    if (command == nullptr)
        return -2;
    return scan.CheckText(command, 0) ? 0 : -2;
}

bool ShellCommandGuard::IsGuardedName(const char* name)
{
    return name != nullptr && InList(kGuardedNames, name);
}

const char* const* ShellCommandGuard::GuardedNames()
{
    return kGuardedNames;
}

const char* const* ShellCommandGuard::ProgramDirs()
{
    return kProgramDirs;
}

bool ShellCommandGuard::IsBoardProgram(const char* path) const
{
    size_t rootLen = strlen(m_cRealRoot);
    char real[PATH_MAX];
    if (rootLen == 0 || path == nullptr || realpath(path, real) == nullptr)
        return false;
    if (strncmp(real, m_cRealRoot, rootLen) != 0 || real[rootLen] != '/')
        return false;
    struct stat st;
    return stat(real, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0;
}

int ShellCommandGuard::FindBoardProgram(const char* name) const
{
    for (const char* const* dir = kProgramDirs; *dir != nullptr; ++dir) {
        char path[kMaxPath];
        int n = snprintf(path, sizeof(path), "%s/%s/%s", m_cRoot, *dir, name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof(path))
            return -1;
        struct stat st;
        if (lstat(path, &st) == 0)
            return IsBoardProgram(path) ? 1 : -1;
    }
    return 0;
}
