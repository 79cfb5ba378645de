// Base of the classes that own a system handle (a descriptor, a pthread
// object, a table of pointers): such an object is neither copied nor assigned.
#ifndef QUOR_OSNONCOPYABLE_H
#define QUOR_OSNONCOPYABLE_H

class OSNonCopyable {
protected:
    OSNonCopyable() = default;
    ~OSNonCopyable() = default;

public:
    OSNonCopyable(const OSNonCopyable&) = delete;
    OSNonCopyable& operator=(const OSNonCopyable&) = delete;
};

#endif
