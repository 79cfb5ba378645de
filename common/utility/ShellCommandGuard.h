// The safety rule of shell commands on a simulated board.
//
// With a board root, the board programs that change the machine ("reboot",
// "configip", "setip", "udhcpc", the init scripts, and the machine's own
// tools of the same kind) may run only when they resolve to an executable
// file inside the board root. A development machine runs as root, so a
// command that reached the machine's own "reboot" would reboot it.
//
// The check reads the command text as the shell would: every command word of
// a compound line ("configip && reboot", "sync; reboot", pipes, subshells,
// command substitutions) and the commands handed to wrappers ("env", "nohup",
// "sh -c", "xargs", ...) are checked, not only the first word. Where the text
// leaves the program open (a command word built from an expansion, a PATH
// assignment, unbalanced quotes), the command is refused.
//
// The text given to Check must already be resolved under the board root
// (BoardPath::ResolveCommandUnder): absolute paths in it are taken as they are.
#ifndef QUOR_SHELLCOMMANDGUARD_H
#define QUOR_SHELLCOMMANDGUARD_H

#include <cstddef>

class ShellCommandGuard {
public:
    // root: the board root as BoardPath::Root() returns it (absolute, no
    // trailing slash). A root that does not exist lets no guarded program run.
    explicit ShellCommandGuard(const char* root);

    // 0 when every program the text would start may run; -2 when one may not
    // (or the text cannot be read with certainty), with the reason written to
    // `reason` (capacity `cap`, may be null).
    int Check(const char* command, char* reason, size_t cap) const;

    // True for the names of the programs that change the machine.
    static bool IsGuardedName(const char* name);
    // The guarded names, ending with a null entry.
    static const char* const* GuardedNames();
    // The board root's program directories (relative to the root) in the
    // order in which commands search them, ending with a null entry.
    static const char* const* ProgramDirs();

    // True when path (absolute) resolves, links followed, to an executable
    // regular file inside the board root.
    bool IsBoardProgram(const char* path) const;
    // Finds the program `name` (no slash) in the board's program directories,
    // as the shell would. Returns 1 when found inside the root, 0 when not found,
    // -1 when the first match is not a board program (a link out of the root,
    // not executable).
    int FindBoardProgram(const char* name) const;

private:
    static constexpr size_t kMaxPath = 4096;
    char m_cRoot[kMaxPath];
    char m_cRealRoot[kMaxPath];   // empty when the root does not exist
};

#endif
