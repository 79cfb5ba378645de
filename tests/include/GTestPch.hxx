// The header the clang builds precompile for every GoogleTest source (see
// tests/CMakeLists.txt): copied out of the tree first, so that its path is
// the same in every clone. GoogleTest comes in as a system header, whose
// warnings are not the tests'.
#include <gtest/gtest.h>
