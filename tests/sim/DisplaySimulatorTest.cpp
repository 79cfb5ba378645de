// The display simulator: line settings read back, received bytes recorded
// with the settings of their moment, answers only where told.
#include <gtest/gtest.h>

#include "DisplaySimulator.h"
#include "SimLineSettings.h"
#include "SimTestSupport.h"

namespace {

struct termios MakeAttributes(speed_t speed, tcflag_t cflag)
{
    struct termios attributes = {};
    attributes.c_cflag = cflag;
    cfsetispeed(&attributes, speed);
    cfsetospeed(&attributes, speed);
    return attributes;
}

TEST(SimLineSettingsTest, DecodesSpeedDataBitsParityAndStopBits)
{
    const struct {
        speed_t baud;
        long speed;
    } kSpeeds[] = {{B300, 300},       {B600, 600},       {B1200, 1200},   {B1800, 1800},
                   {B2400, 2400},     {B4800, 4800},     {B9600, 9600},   {B19200, 19200},
                   {B38400, 38400},   {B57600, 57600},   {B115200, 115200}, {B230400, 230400}};
    for (const auto& entry : kSpeeds)
        EXPECT_EQ(entry.speed, SimDecodeLineSettings(MakeAttributes(entry.baud, CS8)).speed);
    EXPECT_EQ(0, SimDecodeLineSettings(MakeAttributes(B0, CS8)).speed);

    EXPECT_EQ(5, SimDecodeLineSettings(MakeAttributes(B9600, CS5)).dataBits);
    EXPECT_EQ(6, SimDecodeLineSettings(MakeAttributes(B9600, CS6)).dataBits);
    EXPECT_EQ(7, SimDecodeLineSettings(MakeAttributes(B9600, CS7)).dataBits);
    EXPECT_EQ(8, SimDecodeLineSettings(MakeAttributes(B9600, CS8)).dataBits);

    SimLineSettings none = SimDecodeLineSettings(MakeAttributes(B9600, CS8 | CREAD | CLOCAL));
    EXPECT_EQ('N', none.parity);
    EXPECT_EQ(1, none.stopBits);
    EXPECT_TRUE(none.receiver);
    EXPECT_TRUE(none.localLine);
    EXPECT_TRUE(none.raw);
    EXPECT_EQ("9600 8N1", SimDescribeLineSettings(none));

    SimLineSettings even = SimDecodeLineSettings(MakeAttributes(B9600, CS7 | PARENB | CSTOPB));
    EXPECT_EQ('E', even.parity);
    EXPECT_EQ(2, even.stopBits);
    EXPECT_EQ("9600 7E2", SimDescribeLineSettings(even));

    SimLineSettings odd = SimDecodeLineSettings(MakeAttributes(B57600, CS8 | PARENB | PARODD));
    EXPECT_EQ('O', odd.parity);
    EXPECT_EQ("57600 8O1", SimDescribeLineSettings(odd));

    // A pseudo-terminal drops PARENB but keeps PARODD.
    SimLineSettings oddBitOnly = SimDecodeLineSettings(MakeAttributes(B57600, CS8 | PARODD));
    EXPECT_EQ('N', oddBitOnly.parity);
    EXPECT_TRUE(oddBitOnly.oddBit);
    EXPECT_EQ("57600 8N1 odd-bit", SimDescribeLineSettings(oddBitOnly));

    struct termios cooked = MakeAttributes(B9600, CS8);
    cooked.c_lflag = ICANON;
    cooked.c_cc[VMIN] = 1;
    cooked.c_cc[VTIME] = 5;
    SimLineSettings settings = SimDecodeLineSettings(cooked);
    EXPECT_FALSE(settings.raw);
    EXPECT_EQ(1u, settings.vmin);
    EXPECT_EQ(5u, settings.vtime);
    EXPECT_NE(settings, none);
    EXPECT_EQ(none, SimDecodeLineSettings(MakeAttributes(B9600, CS8 | CREAD | CLOCAL)));
}

class DisplaySimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.Path().empty());
        link = dir / "dev/ttyS2";
        SimEndpointOptions options;
        options.linkPath = link;
        options.trafficLogPath = dir / "dispsim-traffic.log";
        ASSERT_EQ(0, sim.Start(options));
    }

    ScratchDir dir;
    std::string link;
    DisplaySimulator sim;
    SerialClient client;
};

TEST_F(DisplaySimTest, LineSettingsAreReadBackFromTheTerminal)
{
    ASSERT_TRUE(client.Open(link, true, B9600, CS8));
    SimLineSettings settings = sim.LineSettings();
    EXPECT_EQ(9600, settings.speed);
    EXPECT_EQ(1, settings.stopBits);
    EXPECT_TRUE(settings.raw);
    EXPECT_EQ(0u, settings.vmin);
    EXPECT_EQ(0u, settings.vtime);

    ASSERT_TRUE(client.Apply(B1800, CSTOPB | PARENB | PARODD | CS7));
    settings = sim.LineSettings();
    EXPECT_EQ(1800, settings.speed);
    EXPECT_EQ(2, settings.stopBits);
    EXPECT_TRUE(settings.oddBit);
    // What a pseudo-terminal cannot keep: 8 data bits and no parity, always.
    EXPECT_EQ(8, settings.dataBits);
    EXPECT_EQ('N', settings.parity);

    ASSERT_TRUE(client.Apply(B230400, 0));
    settings = sim.LineSettings();
    EXPECT_EQ(230400, settings.speed);
    EXPECT_EQ(1, settings.stopBits);
    EXPECT_FALSE(settings.oddBit);
}

TEST_F(DisplaySimTest, ReceivedBytesAreRecordedWithTheSettingsOfTheirMoment)
{
    ASSERT_TRUE(client.Open(link, true, B9600, CS8));
    ASSERT_TRUE(client.Write("PWR ON\r\n"));
    ASSERT_TRUE(sim.WaitForBytes(8, 1000));
    ASSERT_TRUE(client.Apply(B19200, CSTOPB));
    ASSERT_TRUE(client.Write(std::string("\x02\x00\x03", 3)));
    ASSERT_TRUE(sim.WaitForBytes(11, 1000));

    EXPECT_EQ(std::string("PWR ON\r\n\x02\x00\x03", 11), sim.ReceivedBytes());
    EXPECT_EQ(std::vector<std::string>{"PWR ON"}, sim.ReceivedLines());
    std::vector<SimChunk> chunks = sim.Chunks();
    ASSERT_EQ(2u, chunks.size());
    EXPECT_EQ("PWR ON\r\n", chunks[0].bytes);
    EXPECT_EQ(9600, chunks[0].settings.speed);
    EXPECT_EQ(1, chunks[0].settings.stopBits);
    EXPECT_EQ(std::string("\x02\x00\x03", 3), chunks[1].bytes);
    EXPECT_EQ(19200, chunks[1].settings.speed);
    EXPECT_EQ(2, chunks[1].settings.stopBits);
    EXPECT_LE(chunks[0].atMs, chunks[1].atMs);

    std::string text =
        WaitForFileText(dir / "dispsim-traffic.log", " daemon->display \\x02\\x00\\x03 [no CR LF]\n");
    EXPECT_NE(std::string::npos, text.find(" # line settings 9600 8N1\n")) << text;
    EXPECT_NE(std::string::npos, text.find(" daemon->display PWR ON\n")) << text;
    EXPECT_NE(std::string::npos, text.find(" # line settings 19200 8N2\n")) << text;
    EXPECT_NE(std::string::npos, text.find(" daemon->display \\x02\\x00\\x03 [no CR LF]\n")) << text;
}

TEST_F(DisplaySimTest, AnswersOnlyTheLinesItWasGivenAnswersFor)
{
    ASSERT_TRUE(client.Open(link));
    ASSERT_TRUE(client.WriteLine("PWR ON"));
    EXPECT_EQ("", client.ReadUntilQuiet(200));

    sim.SetReply("PWR ON", {"OK"});
    EXPECT_EQ("OK\r\n", client.Ask("PWR ON"));
    EXPECT_EQ("", client.ReadUntilQuiet(100));
    ASSERT_TRUE(client.WriteLine("PWR OFF"));
    EXPECT_EQ("", client.ReadUntilQuiet(200));

    EXPECT_EQ("", sim.Control("ORDER 4"));
    EXPECT_EQ("ORDER 4\r\n", client.ReadUntilQuiet(100));
    sim.SetSilent(true);
    ASSERT_TRUE(client.WriteLine("PWR ON"));
    EXPECT_EQ("", client.ReadUntilQuiet(200));
}

} // namespace
