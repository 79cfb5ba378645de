// The one source of the target that builds the tests' precompiled header
// (tests/CMakeLists.txt); it has nothing of its own.
