// Upload file names, the in-process moves and the streaming receiver on the
// process's board root.
#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "QuorVelmarUploadReceiver.h"
#include "UploadTestSupport.h"

namespace {

using board_test::PathExists;
using board_test::WriteText;
using upload_test::g_pRoot;

TEST(UploadName, ReducedToTheLastComponent)
{
    EXPECT_STREQ("Velmar.xml", CQuorVelmarUploadFiles::ReduceName("../../Velmar/etc/Velmar.xml"));
    EXPECT_STREQ("fw.h00", CQuorVelmarUploadFiles::ReduceName("C:\\Users\\op\\fw.h00"));
    EXPECT_STREQ("", CQuorVelmarUploadFiles::ReduceName("dir/"));
}

TEST(UploadName, Whitelist)
{
    const std::vector<std::string> accepted = {"fw_v2.h00", "image_1.tar.gz", "a+b-c.bin", std::string(127, 'n')};
    const std::vector<std::string> refused = {"",          ".hidden",    "-rf",        "a$(reboot).tar.gz",
                                              "a b.bin",   "a;b",        "a\nb",       "\xC3\xA9.bin",
                                              "..",        "x`id`",      std::string(128, 'n'), std::string(200, 'n')};
    for (const std::string& name : accepted)
        EXPECT_EQ(0, CQuorVelmarUploadFiles::CheckName(name.c_str())) << name;
    for (const std::string& name : refused)
        EXPECT_EQ(-2, CQuorVelmarUploadFiles::CheckName(name.c_str())) << name;
}

std::string UpVersion()
{
    char name[QUOR_UPLOAD_NAME_SIZE];
    CQuorVelmarUploadFiles::UpVersion(name);
    return name;
}

TEST(UploadName, RecordedByPart)
{
    CQuorVelmarUploadFiles::RecordName("mcu", "fw_v2.h00");
    EXPECT_EQ("fw_v2", UpVersion());
    CQuorVelmarUploadFiles::RecordName("MCU", "a.h0");
    EXPECT_EQ("", UpVersion());
    CQuorVelmarUploadFiles::RecordName("ARM", "image_1.tar.gz");
    EXPECT_EQ("image_1.tar.gz", UpVersion());
    CQuorVelmarUploadFiles::RecordName("EDID", "e.bin");
    EXPECT_EQ("", UpVersion());
    char edid[QUOR_UPLOAD_NAME_SIZE];
    CQuorVelmarUploadFiles::EDIDName(edid);
    EXPECT_STREQ("e.bin", edid);
}

TEST(UploadMove, PrefixedBankFilesMoveAndNothingElse)
{
    for (const char* name : {"fw_v2.h00", "fw_v2.h01", "fw_v2.h02", "other.h00"})
        ASSERT_TRUE(WriteText(g_pRoot->File(std::string("/www/tmp/") + name), name));
    EXPECT_EQ(3, CQuorVelmarUploadFiles::MovePrefixed("/www/tmp", "fw_v2", "/Velmar/Upgrade/MCU/"));
    EXPECT_EQ("fw_v2.h01", g_pRoot->Read("/Velmar/Upgrade/MCU/fw_v2.h01"));
    EXPECT_FALSE(PathExists(g_pRoot->File("/www/tmp/fw_v2.h00")));
    EXPECT_TRUE(PathExists(g_pRoot->File("/www/tmp/other.h00")));
    EXPECT_EQ(-2, CQuorVelmarUploadFiles::MovePrefixed("/www/tmp", "fw_v2", "/Velmar/Upgrade/MCU/"));
    EXPECT_EQ(0, CQuorVelmarUploadFiles::Remove("/www/tmp/other.h00"));
    EXPECT_EQ(-2, CQuorVelmarUploadFiles::Remove("/www/tmp/other.h00"));
}

// A target on another file system (tmpfs linked into the board root): the
// file is copied and the source removed.
TEST(UploadMove, AcrossFileSystems)
{
    std::string other = test_files::MakeTempDir("upload", "/dev/shm");
    ASSERT_FALSE(other.empty());
    ASSERT_EQ(0, symlink(other.c_str(), g_pRoot->File("/Velmar/shm").c_str()));
    std::string data = upload_test::BinaryData(200000);
    ASSERT_TRUE(WriteText(g_pRoot->File("/www/tmp/big.bin"), data));
    EXPECT_EQ(0, CQuorVelmarUploadFiles::Move("/www/tmp/big.bin", "/Velmar/shm/big.bin"));
    EXPECT_TRUE(board_test::ReadText(other + "/big.bin") == data);
    EXPECT_FALSE(PathExists(g_pRoot->File("/www/tmp/big.bin")));
    board_test::RemoveTree(other);
    unlink(g_pRoot->File("/Velmar/shm").c_str());
}

// Feeds the body in reads of the given size, keeping what was not consumed
// in front of the next read, as the web handler does.
int Stream(CQuorVelmarUploadReceiver& receiver, const std::string& body, size_t readSize)
{
    std::string pending;
    for (size_t at = 0; at < body.size() || !pending.empty();) {
        size_t n = std::min(readSize, body.size() - at);
        pending += body.substr(at, n);
        at += n;
        int consumed = receiver.Feed(pending.data(), (int)pending.size(), at < body.size());
        if (consumed < 0)
            return consumed;
        pending.erase(0, (size_t)consumed);
        if (consumed == 0 && at == body.size())
            break;
    }
    receiver.Close();
    return 0;
}

TEST(UploadReceiver, BinaryFileArrivesByteIdenticalForEveryReadSize)
{
    std::string data = upload_test::BinaryData(70000);
    for (size_t readSize : {1u, 7u, 41u, 4096u, 65536u, 200000u}) {
        CQuorVelmarUploadReceiver receiver;
        ASSERT_EQ(0, Stream(receiver, upload_test::Body("ARM", "C:\\up\\image_1.tar.gz", data), readSize));
        EXPECT_TRUE(receiver.Done());
        EXPECT_STREQ("/www/tmp/image_1.tar.gz", receiver.Path());
        EXPECT_EQ(data.size(), receiver.BytesWritten());
        EXPECT_TRUE(g_pRoot->Read("/www/tmp/image_1.tar.gz") == data) << readSize;
    }
    EXPECT_EQ(0, CQuorVelmarUploadFiles::Remove("/www/tmp/image_1.tar.gz"));
}

TEST(UploadReceiver, RefusedBodiesCloseTheConnectionAndWriteNothing)
{
    const std::vector<std::string> bodies = {
        upload_test::Body("ARM", "a$(reboot).tar.gz", "x"),
        upload_test::Body("ARM", "-rf", "x"),
        upload_test::Body("ARM", std::string(200, 'a'), "x"),
        upload_test::Body("ARM", "", "x"),
        std::string("--b\r\nContent-Disposition: form-data; name=\"alias\"\r\n\r\nvalue\r\n--b--\r\n"),
        std::string(9000, 'x'),
    };
    for (const std::string& body : bodies) {
        CQuorVelmarUploadReceiver receiver;
        EXPECT_EQ(-1, Stream(receiver, body, 4096)) << body.substr(0, 80);
        EXPECT_STREQ("", receiver.Path());
    }
    EXPECT_EQ("", board_test::RunProcess({"ls", g_pRoot->File("/www/tmp")}).output);
}

} // namespace
