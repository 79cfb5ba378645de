// The agent's pieces for a safe installation, in-process: the signature
// block against libsodium (good, spoiled and short archives, key files at
// their edges), the install marker on a temporary board root, and the gate
// that holds a stop request while an installation runs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <sys/stat.h>
#include <sodium.h>
#include <thread>

#include "BoardRootFixture.h"
#include "QuorNdkInstallState.h"
#include "QuorNdkSignature.h"

namespace sig = UpgradeSignature;

namespace {

using Bytes = std::vector<uint8_t>;

struct Keys {
    uint8_t pub[sig::kPublicKeyBytes];
    uint8_t secret[sig::kSecretKeyBytes];
    Keys() { crypto_sign_keypair(pub, secret); }
};

Bytes Signed(const Bytes& archive, const Keys& keys)
{
    Bytes out = archive;
    uint8_t block[sig::kBlockBytes];
    EXPECT_EQ(sig::MakeBlock(archive.data(), archive.size(), keys.secret, block), 0);
    out.insert(out.end(), block, block + sizeof(block));
    return out;
}

class InstallStateTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(sig::Initialize(), 0); }
};

TEST_F(InstallStateTest, BlockLayoutIsSignatureThenMagic)
{
    Keys keys;
    const Bytes archive = {0x1f, 0x8b, 0x08, 0x00, 'x'};
    Bytes signedArchive = Signed(archive, keys);
    ASSERT_EQ(signedArchive.size(), archive.size() + 72);
    EXPECT_EQ(std::string(signedArchive.end() - 8, signedArchive.end()), "VLMRSIG1");
    // The 64 bytes before the magic are libsodium's detached signature.
    EXPECT_EQ(crypto_sign_verify_detached(signedArchive.data() + archive.size(), archive.data(), archive.size(),
                                          keys.pub),
              0);
}

TEST_F(InstallStateTest, OnlyAnIntactBlockOfTheRightKeyVerifies)
{
    Keys keys, other;
    const Bytes archive(1000, 0x5a);
    const Bytes good = Signed(archive, keys);
    struct Case {
        const char* what;
        Bytes bytes;
        bool hasBlock;
        bool valid;
    };
    Bytes payloadFlipped = good, signatureFlipped = good, magicFlipped = good;
    payloadFlipped[500] ^= 1;
    signatureFlipped[archive.size() + 10] ^= 0x80;
    magicFlipped[good.size() - 1] = '2';
    const Bytes emptySigned = Signed(Bytes(), keys);
    const Case cases[] = {
        {"intact", good, true, true},
        {"payload byte flipped", payloadFlipped, true, false},
        {"signature byte flipped", signatureFlipped, true, false},
        {"magic changed", magicFlipped, false, false},
        {"another key", Signed(archive, other), true, false},
        {"unsigned", archive, false, false},
        {"block of an empty archive", emptySigned, true, true},
        {"one byte short of a block", Bytes(good.end() - 71, good.end()), false, false},
        {"empty", Bytes(), false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sig::HasBlock(c.bytes.data(), c.bytes.size()), c.hasBlock) << c.what;
        EXPECT_EQ(sig::Verify(c.bytes.data(), c.bytes.size(), keys.pub), c.valid) << c.what;
    }
}

TEST_F(InstallStateTest, KeyFilesHoldExactlyTheirHexDigits)
{
    const std::string dir = board_test::MakeTempDir("keys");
    ASSERT_FALSE(dir.empty());
    const std::string hex(64, 'a');
    const struct {
        std::string text;
        int result;
    } cases[] = {
        {hex, 0},           {hex + "\n", 0},        {hex + "\r\n", 0},   {std::string(64, 'F'), 0},
        {hex.substr(1), -2}, {hex + "a", -2},       {hex + "\n\n\n", -2}, {std::string(63, 'a') + "g", -2},
        {"", -2},           {std::string(200, 'a'), -2},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(board_test::WriteText(dir + "/k", c.text));
        uint8_t key[sig::kPublicKeyBytes];
        EXPECT_EQ(sig::ReadKeyFile((dir + "/k").c_str(), key, sizeof(key)), c.result) << c.text;
        if (c.result == 0) {
            EXPECT_EQ(key[0], c.text[0] == 'F' ? 0xff : 0xaa);
        }
    }
    uint8_t key[sig::kPublicKeyBytes];
    EXPECT_EQ(sig::ReadKeyFile((dir + "/missing").c_str(), key, sizeof(key)), -1);

    // Written keys read back; an existing file is never overwritten.
    Keys keys;
    ASSERT_EQ(sig::WriteKeyFile((dir + "/secret").c_str(), keys.secret, sizeof(keys.secret), 0600), 0);
    EXPECT_EQ(sig::WriteKeyFile((dir + "/secret").c_str(), keys.secret, sizeof(keys.secret), 0600), -1);
    struct stat st;
    ASSERT_EQ(stat((dir + "/secret").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    uint8_t secret[sig::kSecretKeyBytes];
    ASSERT_EQ(sig::ReadKeyFile((dir + "/secret").c_str(), secret, sizeof(secret)), 0);
    EXPECT_EQ(memcmp(secret, keys.secret, sizeof(secret)), 0);
    board_test::RemoveTree(dir);
}

TEST_F(InstallStateTest, MarkerIsWrittenReadAndRemovedUnderTheBoardRoot)
{
    // This process's board root (read once): a fresh one for this test.
    board_test::TempBoardRoot root;
    ASSERT_TRUE(root.Ok());
    setenv("VELMAR_ROOT", root.Path().c_str(), 1);
    ASSERT_EQ(mkdir(root.File("/Velmar/etc/QuorNdk").c_str(), 0755) == 0 || errno == EEXIST, true);
    char text[CQuorNdkInstallMarker::kMaxText + 1];
    EXPECT_EQ(CQuorNdkInstallMarker::Read(text, sizeof(text)), 0);
    ASSERT_EQ(CQuorNdkInstallMarker::Write("archive <a.tar.gz>\n"), 0);
    EXPECT_EQ(root.Read("/Velmar/etc/QuorNdk/Installing"), "archive <a.tar.gz>\n");
    EXPECT_FALSE(board_test::PathExists(root.File("/Velmar/etc/QuorNdk/Installing.tmp")));
    ASSERT_EQ(CQuorNdkInstallMarker::Read(text, 8), 1);
    EXPECT_STREQ(text, "archive");  // cut to the room given
    EXPECT_EQ(CQuorNdkInstallMarker::Remove(), 0);
    EXPECT_EQ(CQuorNdkInstallMarker::Read(text, sizeof(text)), 0);
    EXPECT_EQ(CQuorNdkInstallMarker::Remove(), 0);  // none: nothing to do
}

TEST_F(InstallStateTest, AStopWaitsForTheRunningInstallAndRefusesTheNext)
{
    CQuorNdkInstallGate gate;
    ASSERT_TRUE(gate.Enter());
    EXPECT_TRUE(gate.Busy());
    std::atomic<bool> closed{false};
    std::thread stopper([&] {
        gate.CloseAndWait();
        closed = true;
    });
    // Once the stop has closed the gate, it stays held until the
    // installation leaves.
    bool refused = false;
    for (int i = 0; i < 3000 && !(refused = !gate.Enter()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(refused);
    EXPECT_FALSE(closed.load());
    gate.Leave();
    stopper.join();
    EXPECT_TRUE(closed.load());
    EXPECT_FALSE(gate.Busy());
    EXPECT_FALSE(gate.Enter());
}

} // namespace
