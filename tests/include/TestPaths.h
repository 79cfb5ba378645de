// Where a test finds the source tree and the programs it starts. ctest gives
// them to each test in its environment (tests/CMakeLists.txt: quor_add_test
// sets VELMAR_SOURCE_DIR, quor_uses_programs one <PROGRAM>_PATH a program),
// never as compile definitions: a test's object then does not depend on the
// place of the tree, and the compiler cache serves every clone of it.
#ifndef TEST_PATHS_H
#define TEST_PATHS_H

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace board_test {

// The value of an environment variable ctest sets; a test binary started
// some other way without it ends at once, saying which one it misses.
inline std::string TestSetting(const std::string& variable)
{
    const char* value = getenv(variable.c_str());
    if (value == nullptr || *value == '\0') {
        fprintf(stderr, "%s is not set: run the test through ctest (or set it)\n", variable.c_str());
        fflush(nullptr);
        abort();
    }
    return value;
}

// A file of the source tree, by its path relative to the tree's top.
inline std::string SourcePath(const std::string& relative)
{
    return TestSetting("VELMAR_SOURCE_DIR") + "/" + relative;
}

// The built program "velmard", "QuorNdk", "velmar-find"...: the variable
// VELMARD_PATH, QUORNDK_PATH, VELMAR_FIND_PATH...
inline std::string ProgramPath(const std::string& program)
{
    std::string variable;
    for (char c : program)
        variable += c == '-' ? '_' : static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return TestSetting(variable + "_PATH");
}

}  // namespace board_test

#endif
