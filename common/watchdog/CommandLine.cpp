#include "CommandLine.h"

#include <string.h>

const char* GetExeceName(const char* path)
{
    const char* slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

std::vector<std::string> SplitCommand(const char* line)
{
    std::vector<std::string> words;
    if (line == nullptr)
        return words;
    const char* p = line;
    while (*p != '\0') {
        while (*p == ' ')
            ++p;
        const char* start = p;
        while (*p != '\0' && *p != ' ')
            ++p;
        if (p != start)
            words.emplace_back(start, static_cast<size_t>(p - start));
    }
    return words;
}

std::vector<char*> MakeArgv(std::vector<std::string>& words)
{
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    return argv;
}
