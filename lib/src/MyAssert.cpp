#include "MyAssert.h"

#include <atomic>
#include <cstdio>

namespace {
void DefaultSink(const char* text)
{
    fprintf(stderr, "%s\n", text);
}
std::atomic<MyAssertSink> sSink{DefaultSink};
std::atomic<unsigned long> sCount{0};
}  // namespace

void SetMyAssertSink(MyAssertSink sink)
{
    sSink.store(sink != nullptr ? sink : DefaultSink);
}

void MyAssert(const char* text)
{
    sCount.fetch_add(1);
    sSink.load()(text != nullptr ? text : "_Assert: (null)");
}

void MyAssertAt(const char* file, int line)
{
    char text[256];
    snprintf(text, sizeof(text), "_Assert: %s, %d", file, line);
    MyAssert(text);
}

unsigned long MyAssertCount()
{
    return sCount.load();
}
