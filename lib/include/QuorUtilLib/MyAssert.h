// Consistency checks: a failed check is reported and the caller continues.
#ifndef QUOR_MYASSERT_H
#define QUOR_MYASSERT_H

#include <cstdio>

// Reports a failed consistency check. Never aborts.
void MyAssert(const char* text);

// Installs the sink that receives assertion texts (default: standard error).
typedef void (*MyAssertSink)(const char* text);
void SetMyAssertSink(MyAssertSink sink);

// Number of failed checks reported so far (for tests and diagnostics).
unsigned long MyAssertCount();

#define QuorAssert(cond)                                                         \
    do {                                                                         \
        if (!(cond)) {                                                           \
            char quorAssertText_[256];                                           \
            snprintf(quorAssertText_, sizeof(quorAssertText_), "_Assert: %s, %d", \
                     __FILE__, __LINE__);                                        \
            MyAssert(quorAssertText_);                                           \
        }                                                                        \
    } while (0)

#define QuorAssertV(cond, err)                                                   \
    do {                                                                         \
        if (!(cond)) {                                                           \
            char quorAssertText_[256];                                           \
            snprintf(quorAssertText_, sizeof(quorAssertText_),                   \
                     "_AssertV: %s, %d (%d)", __FILE__, __LINE__, (int)(err));   \
            MyAssert(quorAssertText_);                                           \
        }                                                                        \
    } while (0)

// Reports a check with an explicit source name and line (the texts name the
// header the check belongs to).
void MyAssertAt(const char* file, int line);

#endif
