// Base of the test helpers that own a descriptor, a process, a directory or
// a global: a copy would release it twice.
#ifndef TEST_NO_COPY_H
#define TEST_NO_COPY_H

namespace test_support {

class NoCopy {
public:
    NoCopy(const NoCopy&) = delete;
    NoCopy& operator=(const NoCopy&) = delete;

protected:
    NoCopy() = default;
    ~NoCopy() = default;
};

}  // namespace test_support

#endif
