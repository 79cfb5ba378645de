// Board paths: where the fixed absolute paths of the system really live.
//
// On the board every path is used as it is. On a development machine the
// environment variable VELMAR_ROOT names a directory that stands in for the
// board's file system (the "board root"): "/Velmar/etc/Velmar.xml" is then
// "$VELMAR_ROOT/Velmar/etc/Velmar.xml", and so for every absolute path,
// including the absolute paths written inside shell command texts.
//
// This is the one place that prefixes paths; no other code does it by hand.
//
// Resolution is idempotent: a path that already lies under the board root is
// left as it is, so resolving a resolved text again changes nothing.
#ifndef QUOR_BOARDPATH_H
#define QUOR_BOARDPATH_H

#include <cstddef>

class BoardPath {
public:
    // Longest board root accepted (characters, without the terminator).
    static constexpr size_t kMaxRoot = 1023;

    // The board root, read from VELMAR_ROOT once per process (thread-safe).
    // A relative value is taken relative to the working directory at the first
    // call; trailing slashes are dropped. "" when VELMAR_ROOT is unset or empty.
    static const char* Root();
    // True when VELMAR_ROOT is set (the process runs on a simulated board).
    static bool HasRoot();
    // False when VELMAR_ROOT is set but cannot be used (too long, or relative
    // with no working directory). Every resolution then fails: an unusable
    // root never falls back to the machine's own paths.
    static bool RootUsable();

    // Writes the board path `path` resolved under the process's board root
    // into `out` (capacity `cap` bytes, terminator included). Relative paths
    // are copied unchanged. Returns 0, or -2 when an argument is missing, the
    // root is unusable or the result does not fit; `out` is then "" (when
    // cap > 0). A path is never cut.
    static int Resolve(const char* path, char* out, size_t cap);

    // Writes the shell command text `command` with every absolute path that
    // starts a word resolved under the board root (a word starts at the
    // beginning of the text, after white space, after one of ; & | ( ) < > `
    // and after a quote or "="). Returns 0 or -2 as Resolve; -2 also when the
    // root holds characters that the shell would interpret.
    static int ResolveCommand(const char* command, char* out, size_t cap);

    // Both of the above under an explicit root (null or "": no root). The root
    // must be absolute and without trailing slash, as Root() returns it.
    static int ResolveUnder(const char* root, const char* path, char* out, size_t cap);
    static int ResolveCommandUnder(const char* root, const char* command, char* out, size_t cap);

    // True when every character of root may stand unquoted in a shell word.
    static bool IsShellSafe(const char* root);

    // Array conveniences: the capacity is the array's size.
    template <size_t N>
    static int Resolve(const char* path, char (&out)[N]) { return Resolve(path, out, N); }
    template <size_t N>
    static int ResolveCommand(const char* command, char (&out)[N]) { return ResolveCommand(command, out, N); }
};

#endif
