// The supervisor's own board paths (it shares no code with the daemons).
// Every absolute path of the board lives under $VELMAR_ROOT when that
// variable is set (a simulated board), and is used as it is otherwise.
#ifndef VELMARCMD_SUPERVISORPATHS_H
#define VELMARCMD_SUPERVISORPATHS_H

#include <sys/types.h>

#include <string>

// Directory of the supervisor's logs on the board.
extern const char* const kVelmarcmdLogDir;

// Maps an absolute board path to where it lives on this machine.
std::string ResolveBoardPath(const char* path);

// Creates `dir` and any missing parents with `mode`.
// Returns 0 when the directory exists afterwards, -2 otherwise.
int MakeDirectoryTree(const std::string& dir, mode_t mode);

#endif
