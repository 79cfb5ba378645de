// Board paths: see BoardPath.h.
#include "BoardPath.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

struct RootState {
    bool set;
    bool usable;
    char text[BoardPath::kMaxRoot + 1];
};

// Appends text to buffer (holding len characters) when it fits in cap bytes.
bool Append(char* buffer, size_t cap, size_t& len, const char* text, size_t textLen)
{
    if (textLen >= cap - len)
        return false;
    memcpy(buffer + len, text, textLen);
    len += textLen;
    buffer[len] = '\0';
    return true;
}

RootState ReadRootState()
{
    RootState state{};
    const char* env = getenv("VELMAR_ROOT");
    if (env == nullptr || env[0] == '\0')
        return state;
    state.set = true;

    char* text = state.text;
    const size_t cap = sizeof(state.text);
    size_t len = 0;
    if (env[0] != '/') {
        if (getcwd(text, cap) == nullptr)
            return state;
        len = strlen(text);
        if (!Append(text, cap, len, "/", 1))
            return state;
    }
    if (!Append(text, cap, len, env, strlen(env)))
        return state;
    while (len > 0 && text[len - 1] == '/')
        text[--len] = '\0';
    // "/" would put the board on the machine itself: refused, never taken as
    // "no root".
    state.usable = len > 0;
    return state;
}

const RootState& State()
{
    // Initialised once, thread-safe; trivially destructible, so it stays valid
    // until the very end of the process.
    static const RootState s_state = ReadRootState();
    return s_state;
}

bool IsWordEnd(char c)
{
    return c == '\0' || strchr(" \t\n;&|()<>`'\"", c) != nullptr;
}

bool IsWordStart(char previous)
{
    return previous == '\0' || strchr(" \t\n;&|()<>`'\"=", previous) != nullptr;
}

// True when text begins with root as a whole path component.
bool StartsWithRoot(const char* root, size_t rootLen, const char* text)
{
    if (strncmp(text, root, rootLen) != 0)
        return false;
    return text[rootLen] == '/' || IsWordEnd(text[rootLen]);
}

int Fail(char* out, size_t cap)
{
    if (out != nullptr && cap > 0)
        out[0] = '\0';
    return -2;
}

int CopyOut(const char* text, char* out, size_t cap)
{
    size_t len = 0;
    out[0] = '\0';
    return Append(out, cap, len, text, strlen(text)) ? 0 : Fail(out, cap);
}

} // namespace

const char* BoardPath::Root()
{
    return State().usable ? State().text : "";
}

bool BoardPath::HasRoot()
{
    return State().set;
}

bool BoardPath::RootUsable()
{
    return !State().set || State().usable;
}

int BoardPath::Resolve(const char* path, char* out, size_t cap)
{
    if (!RootUsable())
        return Fail(out, cap);
    return ResolveUnder(Root(), path, out, cap);
}

int BoardPath::ResolveCommand(const char* command, char* out, size_t cap)
{
    if (!RootUsable())
        return Fail(out, cap);
    return ResolveCommandUnder(Root(), command, out, cap);
}

int BoardPath::ResolveUnder(const char* root, const char* path, char* out, size_t cap)
{
    if (path == nullptr || out == nullptr || cap == 0)
        return Fail(out, cap);
    size_t rootLen = root != nullptr ? strlen(root) : 0;
    if (rootLen == 0 || path[0] != '/' || StartsWithRoot(root, rootLen, path))
        return CopyOut(path, out, cap);
    size_t len = 0;
    out[0] = '\0';
    if (!Append(out, cap, len, root, rootLen) || !Append(out, cap, len, path, strlen(path)))
        return Fail(out, cap);
    return 0;
}

int BoardPath::ResolveCommandUnder(const char* root, const char* command, char* out, size_t cap)
{
    if (command == nullptr || out == nullptr || cap == 0)
        return Fail(out, cap);
    size_t rootLen = root != nullptr ? strlen(root) : 0;
    if (rootLen == 0)
        return CopyOut(command, out, cap);
    if (!IsShellSafe(root))
        return Fail(out, cap);

    size_t len = 0;
    out[0] = '\0';
    char previous = '\0';
    for (const char* p = command; *p != '\0'; ++p) {
        bool resolve = *p == '/' && IsWordStart(previous) && !StartsWithRoot(root, rootLen, p);
        if (resolve && !Append(out, cap, len, root, rootLen))
            return Fail(out, cap);
        if (!Append(out, cap, len, p, 1))
            return Fail(out, cap);
        previous = *p;
    }
    return 0;
}

bool BoardPath::IsShellSafe(const char* root)
{
    if (root == nullptr)
        return false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(root); *p != '\0'; ++p) {
        if (!isalnum(*p) && strchr("/._+,:@%-", *p) == nullptr)
            return false;
    }
    return true;
}
