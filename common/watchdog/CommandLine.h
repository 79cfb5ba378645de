// Splitting of the watched command line.
#ifndef VELMARCMD_COMMANDLINE_H
#define VELMARCMD_COMMANDLINE_H

#include <string>
#include <vector>

// The part of `path` after its last '/' (the whole text when there is none).
const char* GetExeceName(const char* path);

// Splits `line` at blanks (' ' only; tabs stay inside words). Runs of blanks
// give no empty words. The words are the watched program's argument vector.
std::vector<std::string> SplitCommand(const char* line);

// Null-terminated argument vector pointing into `words` (which must outlive it).
std::vector<char*> MakeArgv(std::vector<std::string>& words);

#endif
