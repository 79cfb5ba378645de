// Line framing of both serial lines, on its own: CR LF lines out of bursts,
// lines split over bursts, empty lines, many lines in one burst, the limits
// of the held text, over-long lines discarded while the lines around them
// survive, garbage and bytes above 0x7F, and the log texts of each line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QuorVelmarLineFramer.h"
#include "SerialTestSupport.h"

using namespace serial_test;

namespace {

const char kTooLong[] = "######UartMsg Len is to long.";
const char kNoCrLf[] = "######UartMsg Len is to long and it's not have \\x0D\\x0A.";

class FramerTest : public ::testing::Test {
protected:
    void SetUp() override { LineCollector::Take(); }

    static int Burst(CQuorVelmarLineFramer& framer, const std::string& bytes)
    {
        return framer.PorcessUartData(bytes.data(), static_cast<uint16_t>(bytes.size()));
    }
    static int Part(CQuorVelmarLineFramer& framer, const std::string& bytes)
    {
        return framer.PorcessUartPart(bytes.data(), static_cast<uint16_t>(bytes.size()));
    }
    static std::vector<std::string> Lines() { return Texts(LineCollector::Take()); }

    CQuorVelmarLineFramer mcu{CQuorVelmarLineFramer::kMcuLine, LineCollector::Sink};
    CQuorVelmarLineFramer aux{CQuorVelmarLineFramer::kAuxiliaryLine, LineCollector::Sink};
};

typedef std::vector<std::string> Texts_t;

TEST_F(FramerTest, TwoLinesOfOneBurstAreTwoMessagesInOrder)
{
    EXPECT_EQ(0, Burst(mcu, "VER 1.0\r\nORDER 3\r\n"));
    std::vector<Line> lines = LineCollector::Take();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("VER 1.0", lines[0].text);
    EXPECT_EQ("ORDER 3", lines[1].text);
    for (const Line& line : lines) {
        EXPECT_EQ(10, line.scope);
        EXPECT_EQ(0, line.session);
        EXPECT_EQ(line.text.size(), line.length);
        EXPECT_TRUE(line.zeroFilled);
    }
    EXPECT_EQ(7, lines[0].length);
    EXPECT_EQ(0u, mcu.HeldLength());
}

TEST_F(FramerTest, LineSplitOverBurstsIsOneMessage)
{
    EXPECT_EQ(0, Burst(mcu, "VER"));
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(3u, mcu.HeldLength());
    EXPECT_EQ(0, Burst(mcu, " 1.0\r\n"));
    EXPECT_EQ(Texts_t{"VER 1.0"}, Lines());

    // The CR LF itself split between two bursts.
    EXPECT_EQ(0, Burst(aux, "ORDER 3\r"));
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(0, Burst(aux, "\nX\r\nY"));
    EXPECT_EQ((Texts_t{"ORDER 3", "X"}), Lines());
    EXPECT_EQ("Y", std::string(aux.HeldText()));
}

TEST_F(FramerTest, EmptyLinesGiveNoMessage)
{
    EXPECT_EQ(0, Burst(mcu, "\r\n\r\nSHOWME 1\r\n"));
    EXPECT_EQ(Texts_t{"SHOWME 1"}, Lines());
    EXPECT_EQ(0, Burst(aux, "A\r\n\r\n\r\nB\r\n\r\n"));
    EXPECT_EQ((Texts_t{"A", "B"}), Lines());
    EXPECT_EQ(0, Burst(aux, "\r\n"));
    EXPECT_TRUE(Lines().empty());
}

TEST_F(FramerTest, ManyLinesInOneBurstLongerThanTheBuffer)
{
    std::string burst;
    Texts_t expected;
    for (int i = 0; i < 400; ++i) {
        char line[32];
        snprintf(line, sizeof(line), "LINE %03d", i);
        expected.push_back(line);
        burst += std::string(line) + "\r\n";
    }
    burst += "TAIL";
    ASSERT_GT(burst.size(), 2048u);
    for (CQuorVelmarLineFramer* framer : {&mcu, &aux}) {
        LogMark mark;
        EXPECT_EQ(0, Burst(*framer, burst));
        EXPECT_EQ(expected, Lines());
        EXPECT_EQ("TAIL", std::string(framer->HeldText()));
        EXPECT_FALSE(mark.Has("######UartMsg"));
    }
}

TEST_F(FramerTest, McuHeldTextLimitIs2047Bytes)
{
    LogMark mark;
    EXPECT_EQ(0, Burst(mcu, std::string(2000, 'a')));
    EXPECT_EQ(0, Burst(mcu, std::string(47, 'b')));
    EXPECT_EQ(2047u, mcu.HeldLength());
    EXPECT_FALSE(mark.Has("######UartMsg"));

    EXPECT_EQ(-2, Burst(mcu, "c"));
    EXPECT_EQ(1u, mark.Count(kTooLong));
    EXPECT_EQ(0u, mcu.HeldLength());
    EXPECT_TRUE(Lines().empty());

    EXPECT_EQ(0, Burst(mcu, "X\r\n"));
    EXPECT_EQ(Texts_t{"X"}, Lines());
}

TEST_F(FramerTest, LongestLineThatFits)
{
    // 2045 characters and CR LF fill the MCU buffer exactly; 2046 and CR LF
    // fill the auxiliary one.
    EXPECT_EQ(0, Burst(mcu, std::string(2045, 'm') + "\r\n"));
    EXPECT_EQ(Texts_t{std::string(2045, 'm')}, Lines());
    EXPECT_EQ(0, Burst(aux, std::string(2046, 'd') + "\r\n"));
    EXPECT_EQ(Texts_t{std::string(2046, 'd')}, Lines());

    LogMark mark;
    EXPECT_EQ(-2, Burst(mcu, std::string(2046, 'm') + "\r\nNEXT\r\n"));
    EXPECT_EQ(Texts_t{"NEXT"}, Lines());
    EXPECT_EQ(1u, mark.Count(kTooLong));
}

TEST_F(FramerTest, BurstOf2048BytesWithoutCrLfIsDiscardedWithTheMessageOfItsLine)
{
    struct {
        CQuorVelmarLineFramer* framer;
        const char* said;
        const char* notSaid;
    } cases[] = {{&mcu, kTooLong, kNoCrLf}, {&aux, kNoCrLf, kTooLong}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.said);
        LogMark mark;
        EXPECT_EQ(-2, Burst(*c.framer, std::string(2048, 'z')));
        EXPECT_EQ(1u, mark.Count(c.said));
        EXPECT_EQ(0u, mark.Count(c.notSaid));
        EXPECT_EQ(0u, c.framer->HeldLength());
        EXPECT_EQ(0, Burst(*c.framer, "ORDER 3\r\n"));
        EXPECT_EQ(Texts_t{"ORDER 3"}, Lines());
    }
}

TEST_F(FramerTest, OverlongLineIsDiscardedAndTheLinesAroundItSurvive)
{
    std::string burst = "A 1\r\n" + std::string(3000, 'x') + "\r\nB 2\r\nC";
    for (CQuorVelmarLineFramer* framer : {&mcu, &aux}) {
        LogMark mark;
        EXPECT_EQ(-2, Burst(*framer, burst));
        EXPECT_EQ((Texts_t{"A 1", "B 2"}), Lines());
        EXPECT_EQ("C", std::string(framer->HeldText()));
        // The MCU line says so; the auxiliary line drops it silently.
        EXPECT_EQ(framer == &mcu ? 1u : 0u, mark.Count(kTooLong));
        EXPECT_EQ(0u, mark.Count(kNoCrLf));
        framer->Clear();
    }
}

TEST_F(FramerTest, OverlongLineOverHeldTextAndTheNextBurst)
{
    // Held text from an earlier burst plus the start of this one cannot fit:
    // the line goes, the lines behind it in the same burst stay.
    EXPECT_EQ(0, Burst(mcu, std::string(1500, 'h')));
    LogMark mark;
    EXPECT_EQ(-2, Burst(mcu, std::string(600, 'i') + "\r\nVER 1\r\n"));
    EXPECT_EQ(Texts_t{"VER 1"}, Lines());
    EXPECT_EQ(1u, mark.Count(kTooLong));

    // The CR of the discarded line was the last byte that fitted.
    EXPECT_EQ(0, Burst(mcu, std::string(2046, 'j') + "\r"));
    EXPECT_EQ(2047u, mcu.HeldLength());
    EXPECT_EQ(-2, Burst(mcu, "\nK\r\n"));
    EXPECT_EQ(Texts_t{"K"}, Lines());
}

TEST_F(FramerTest, OverlongLineOverPartsOfOneBurstLeavesNoFragment)
{
    // The reader hands a full burst buffer over at once; the rest of the
    // over-long line arrives in the next parts and is skipped as well.
    std::string stream = "A\r\n" + std::string(5000, 'x') + "\r\nB\r\n";
    for (CQuorVelmarLineFramer* framer : {&mcu, &aux}) {
        size_t pos = 0;
        while (stream.size() - pos > 2048) {
            Part(*framer, stream.substr(pos, 2048));
            pos += 2048;
        }
        Burst(*framer, stream.substr(pos));
        EXPECT_EQ((Texts_t{"A", "B"}), Lines());
        EXPECT_EQ(0u, framer->HeldLength());
    }

    // The skipping ends with the burst: the next burst starts afresh.
    EXPECT_EQ(-2, Part(mcu, "Q\r\n" + std::string(2100, 'y')));
    EXPECT_EQ(Texts_t{"Q"}, Lines());
    mcu.EndOfBurst();
    EXPECT_EQ(0, Burst(mcu, "R\r\n"));
    EXPECT_EQ(Texts_t{"R"}, Lines());
}

TEST_F(FramerTest, AuxiliaryLineLimits)
{
    // 2047 held bytes wait for more; new bytes that do not fit are dropped
    // with the held text, silently.
    LogMark later;
    EXPECT_EQ(0, Burst(aux, std::string(2047, 'e')));
    EXPECT_EQ(2047u, aux.HeldLength());
    EXPECT_EQ(-2, Burst(aux, "ff"));
    EXPECT_EQ(0u, aux.HeldLength());
    EXPECT_FALSE(later.Has("######UartMsg"));
    EXPECT_EQ(0, Burst(aux, "ON\r\n"));
    EXPECT_EQ(Texts_t{"ON"}, Lines());
}

TEST_F(FramerTest, GarbageAndHighBytesAreKeptAsTheyCame)
{
    std::string garbage = "\x01\x7f\xff\xfe\x80 \x1b[2J\r";
    EXPECT_EQ(0, Burst(mcu, garbage + "\r\n"));
    EXPECT_EQ(Texts_t{garbage}, Lines());

    // A lone CR or LF is part of the line.
    EXPECT_EQ(0, Burst(mcu, "A\rB\nC\r\n"));
    EXPECT_EQ(Texts_t{"A\rB\nC"}, Lines());

    // EDID bytes written as text, with a UTF-8 and a Latin-1 name.
    std::string text = "ALIAS \xc3\xa9\xe9";
    EXPECT_EQ(0, Burst(aux, text + "\r\n"));
    std::vector<Line> lines = LineCollector::Take();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(text, lines[0].text);
    EXPECT_EQ(text.size(), lines[0].length);
}

TEST_F(FramerTest, NulBytesAreDropped)
{
    EXPECT_EQ(0, Burst(mcu, std::string("\0VE\0R 1\0\r\n", 10)));
    EXPECT_EQ(Texts_t{"VER 1"}, Lines());
    EXPECT_EQ(0, Burst(mcu, std::string(3000, '\0')));
    EXPECT_EQ(0u, mcu.HeldLength());
    EXPECT_TRUE(Lines().empty());
}

TEST_F(FramerTest, LogTextsOfEachLine)
{
    LogMark mark;
    Burst(mcu, "VER 1.0\r\n");
    Burst(aux, "POWER OK\r\n");
    EXPECT_EQ(1u, mark.Count("@@@@@@Recevie One MCU Uart Frame is <VER 1.0>."));
    EXPECT_EQ(1u, mark.Count("@@@@@@m_UartMsg is <VER 1.0\\x0D\\x0A>."));
    EXPECT_EQ(1u, mark.Count("@@@@@@Recevie One Third-Party Uart Frame is <POWER OK>."));
    EXPECT_EQ(0u, mark.Count("@@@@@@m_UartMsg is <POWER"));
    Lines();
}

}  // namespace
