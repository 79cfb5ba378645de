// The multipart operations over whole and cut buffers.
#include <gtest/gtest.h>
#include <string>

#include "QuorVelmarMultipart.h"
#include "UploadTestSupport.h"

namespace {

using upload_test::kBoundary;

struct Head {
    int length;
    std::string var, file, boundary;
};

Head ParseHead(const std::string& text, int fileSize = 128)
{
    char var[128], file[512];
    const char* boundary = nullptr;
    int boundaryLen = 0;
    Head head;
    head.length = mg_parse_multipart_head(text.data(), (int)text.size(), var, sizeof(var), file, fileSize,
                                          &boundary, &boundaryLen);
    head.var = var;
    head.file = file;
    if (boundary != nullptr)
        head.boundary.assign(boundary, (size_t)boundaryLen);
    return head;
}

const std::string kLine = std::string("--") + kBoundary + "\r\n";

TEST(MultipartHead, BrowserHeadGivesNamesBoundaryAndBodyOffset)
{
    std::string body = upload_test::Body("MCU", "fw_v2.h00", "DATA");
    Head head = ParseHead(body);
    EXPECT_EQ((int)body.find("DATA"), head.length);
    EXPECT_EQ("MCU", head.var);
    EXPECT_EQ("fw_v2.h00", head.file);
    EXPECT_EQ(kLine, head.boundary);
}

TEST(MultipartHead, AttributesInAnyOrderQuotedOrNotAndLfOnlyLines)
{
    std::string text = kLine + "content-disposition: form-data; filename=a.bin; name=EDID\n\nX";
    Head head = ParseHead(text);
    EXPECT_EQ("EDID", head.var);
    EXPECT_EQ("a.bin", head.file);
    EXPECT_EQ((int)text.size() - 1, head.length);
}

TEST(MultipartHead, IncompleteOrMalformedHeadsGiveZero)
{
    std::string full = upload_test::Body("ARM", "x.tar.gz", "");
    size_t end = full.find("\r\n\r\n") + 4;
    for (size_t cut = 0; cut < end; ++cut)
        EXPECT_EQ(0, ParseHead(full.substr(0, cut)).length) << cut;
    EXPECT_EQ(0, ParseHead("xx" + full.substr(2)).length);
    std::string control = full;
    control[kLine.size() + 3] = '\x01';
    EXPECT_EQ(0, ParseHead(control).length);
}

TEST(MultipartHead, FileNameThatDoesNotFitIsLeftEmpty)
{
    Head head = ParseHead(upload_test::Body("ARM", std::string(40, 'a'), "x"), 40);
    EXPECT_GT(head.length, 0);
    EXPECT_EQ("", head.file);
    EXPECT_EQ(std::string(39, 'a'), ParseHead(upload_test::Body("ARM", std::string(39, 'a'), "x"), 40).file);
}

int ParseBody(const std::string& text, int* done)
{
    *done = 0;
    return mg_parse_multipart_body(text.data(), (int)text.size(), kLine.data(), (int)kLine.size(), done);
}

TEST(MultipartBody, BoundaryEndsTheDataWithoutItsLineEnd)
{
    int done;
    std::string tail = "\r\n--" + std::string(kBoundary) + "--\r\n";
    EXPECT_EQ(5, ParseBody("AB\r\nC" + tail, &done));
    EXPECT_EQ(1, done);
    // An empty file: the line end before the boundary is not data.
    EXPECT_EQ(0, ParseBody(tail, &done));
    EXPECT_EQ(1, done);
    EXPECT_EQ(0, ParseBody(tail.substr(1), &done));
    EXPECT_EQ(1, done);
}

TEST(MultipartBody, WithoutBoundaryTheTailIsKept)
{
    int done;
    std::string data(100, 'x');
    EXPECT_EQ((int)(100 - kLine.size()), ParseBody(data, &done));
    EXPECT_EQ(0, done);
    EXPECT_EQ(0, ParseBody(data.substr(0, kLine.size()), &done));
}

// Every cut of data + closing boundary into two reads: what is written plus
// what the second read finds is exactly the data.
TEST(MultipartBody, BoundarySplitAcrossTwoReadsAtEveryPosition)
{
    std::string data = upload_test::BinaryData(300);
    std::string stream = data + "\r\n--" + kBoundary + "--\r\n";
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        std::string written, pending = stream.substr(0, cut);
        int done = 0;
        int n = ParseBody(pending, &done);
        written += pending.substr(0, (size_t)n);
        pending = pending.substr((size_t)n) + stream.substr(cut);
        if (!done)
            written += pending.substr(0, (size_t)ParseBody(pending, &done));
        EXPECT_EQ(1, done) << cut;
        EXPECT_EQ(data, written) << cut;
    }
}

} // namespace
