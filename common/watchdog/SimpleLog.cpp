#include "SimpleLog.h"

#include <stdarg.h>
#include <stdio.h>
#include <time.h>

#include <string>

namespace {

// One logging function's file: kept open only while it is still tiny.
struct LogChannel {
    FILE* fp = nullptr;
    long lastSize = 0;
};

LogChannel s_simpleLog;
LogChannel s_simpleOnlyLog;

// Above this the file is closed after the entry and the ring shifted.
constexpr long kCloseAboveBytes = 10;

std::string NumberedName(const char* path, int number)
{
    return std::string(path) + "." + std::to_string(number);
}

void FormatTimePrefix(char* out, size_t size)
{
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) == nullptr) {
        snprintf(out, size, "0000-00-00 00:00:00 ");
        return;
    }
    snprintf(out, size, "%04d-%02d-%02d %02d:%02d:%02d ", local.tm_year + 1900, local.tm_mon + 1,
             local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

// The archives shift only when the live file is full: ten generations of
// about kLiveLogLimitBytes each are kept.
void RotateAfterEntry(const char* file, long size)
{
    if (size <= kLiveLogLimitBytes)
        return;
    rollfile(file);
    rename(file, NumberedName(file, 1).c_str());
}

void WriteEntry(FILE* fp, const char* prefix, const char* format, va_list args)
{
    fputs(prefix, fp);
    vfprintf(fp, format, args);
    fputc('\n', fp);
    fflush(fp);
}

void AppendToFile(LogChannel& channel, const char* file, const char* prefix, const char* format,
                  va_list args)
{
    if (file == nullptr)
        return;
    if (channel.fp == nullptr)
        channel.fp = fopen(file, "a+e");
    if (channel.fp == nullptr)
        return;
    WriteEntry(channel.fp, prefix, format, args);
    channel.lastSize = ftell(channel.fp);
    if (channel.lastSize > kCloseAboveBytes || channel.lastSize < 0) {
        fclose(channel.fp);
        channel.fp = nullptr;
        if (channel.lastSize > kCloseAboveBytes)
            RotateAfterEntry(file, channel.lastSize);
    }
}

} // namespace

void rollfile(const char* path)
{
    if (path == nullptr)
        return;
    remove(NumberedName(path, 0).c_str());
    for (int n = 9; n >= 1; --n)
        rename(NumberedName(path, n).c_str(), NumberedName(path, n + 1).c_str());
}

void simplelog(const char* file, const char* format, ...)
{
    char prefix[80];
    FormatTimePrefix(prefix, sizeof prefix);
    va_list args;
    va_start(args, format);
    va_list fileArgs;
    va_copy(fileArgs, args);
    WriteEntry(stdout, prefix, format, args);
    AppendToFile(s_simpleLog, file, prefix, format, fileArgs);
    va_end(fileArgs);
    va_end(args);
}

void simpleonlylog(const char* file, const char* format, ...)
{
    char prefix[80];
    FormatTimePrefix(prefix, sizeof prefix);
    va_list args;
    va_start(args, format);
    AppendToFile(s_simpleOnlyLog, file, prefix, format, args);
    va_end(args);
}
