// Shared by the upload tests: the process's board root and multipart bodies.
#ifndef UPLOAD_TEST_SUPPORT_H
#define UPLOAD_TEST_SUPPORT_H

#include <string>

#include "BoardRootFixture.h"

namespace upload_test {

extern board_test::TempBoardRoot* g_pRoot;

const char kBoundary[] = "----WebKitFormBoundaryx7Qz";

// A body as a browser sends it: one file part, then the closing boundary.
inline std::string Body(const std::string& part, const std::string& fileName, const std::string& data)
{
    return std::string("--") + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + part +
           "\"; filename=\"" + fileName + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + data + "\r\n--" +
           kBoundary + "--\r\n";
}

// Binary data with CR LF, "--" and NUL bytes inside.
inline std::string BinaryData(size_t size)
{
    std::string data;
    for (size_t i = 0; data.size() < size; ++i)
        data += (i % 7 == 0) ? std::string("\r\n--") : std::string(1, (char)(i * 37));
    data.resize(size);
    return data;
}

} // namespace upload_test

#endif
