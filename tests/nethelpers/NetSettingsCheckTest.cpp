// Checks of new network settings: the order of the refusals, the netmask and
// gateway rules, and the strict form of the address texts, which keeps shell
// and MCU syntax out of the "setip" command line.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "NetHelpersTestSupport.h"
#include "QuorVelmarFunction.h"

using net_test::LogSince;

namespace {

// A heap record of exactly its own size, so that a read past it is caught
// under AddressSanitizer.
std::unique_ptr<T_QuorEtherNetInfoSetReq> Request(const std::string& ip, const std::string& mask,
                                                  const std::string& gateway)
{
    std::unique_ptr<T_QuorEtherNetInfoSetReq> req(new T_QuorEtherNetInfoSetReq);
    memset(req.get(), 0, sizeof(*req));
    memcpy(req->IPAddr, ip.data(), std::min(ip.size(), sizeof(req->IPAddr)));
    memcpy(req->SubMask, mask.data(), std::min(mask.size(), sizeof(req->SubMask)));
    memcpy(req->Gateway, gateway.data(), std::min(gateway.size(), sizeof(req->Gateway)));
    return req;
}

int Check(const std::string& ip, const std::string& mask, const std::string& gateway)
{
    return CheckIPInfoValidity(Request(ip, mask, gateway).get());
}

TEST(CheckIPInfoValidityTest, AcceptsMatchingSettingsAndRefusesAGatewayOutsideTheMask)
{
    EXPECT_EQ(Check("192.168.1.10", "255.255.255.0", "192.168.1.1"), 0);

    LogSince log;
    EXPECT_EQ(Check("192.168.1.10", "255.255.255.0", "192.168.2.1"), -2);
    EXPECT_TRUE(log.Has("###### IP<192.168.1.10> is not matched with Gateway<192.168.2.1>, Netmask is 255 IP bit "
                        "should be eque to gate bit."))
        << log.Text();

    // Only the parts under 255 must match.
    EXPECT_EQ(Check("10.0.0.1", "255.0.0.0", "10.9.9.9"), 0);
    EXPECT_EQ(Check("10.0.0.1", "255.0.0.0", "11.0.0.1"), -2);
    // Only the first part of the netmask is checked: 255.0.255.0 passes, and
    // its third part is compared.
    EXPECT_EQ(Check("10.1.2.3", "255.0.255.0", "10.9.2.1"), 0);
    EXPECT_EQ(Check("10.1.2.3", "255.0.255.0", "10.9.3.1"), -2);
    // All four parts under 255.255.255.255.
    EXPECT_EQ(Check("10.1.2.3", "255.255.255.255", "10.1.2.4"), -2);
}

TEST(CheckIPInfoValidityTest, NetmaskMustBeginWith255)
{
    LogSince log;
    EXPECT_EQ(Check("192.168.1.10", "128.255.255.0", "192.168.1.1"), -2);
    size_t first = log.Find("###### NetMask First is Not 255!");
    size_t second = log.Find("###### SubMask<128.255.255.0> format error.\\x0A");
    ASSERT_NE(first, std::string::npos) << log.Text();
    ASSERT_NE(second, std::string::npos) << log.Text();
    EXPECT_LT(first, second);
}

TEST(CheckIPInfoValidityTest, TextsThePatternCallsIllegalAreLoggedOnly)
{
    LogSince log;
    EXPECT_EQ(Check("0.1.2.3", "255.255.255.0", "0.1.2.1"), 0);
    EXPECT_TRUE(log.Has("IPAddr is illegal.")) << log.Text();
    EXPECT_FALSE(log.Has("ip part[")) << log.Text();
    EXPECT_TRUE(log.Has("SubMask is legal."));
    EXPECT_TRUE(log.Has("SubMask part[0]: 255"));
    EXPECT_TRUE(log.Has("SubMask part[3]: 0"));
    EXPECT_TRUE(log.Has("Gateway is illegal."));

    // Leading zeros: illegal for the pattern, still well formed and still
    // accepted, compared by value.
    EXPECT_EQ(Check("010.1.1.1", "255.0.0.0", "10.9.9.9"), 0);
    EXPECT_EQ(Check("10.001.1.1", "255.255.0.0", "10.1.9.9"), 0);
    // A netmask the pattern does not take counts as 0.0.0.0: nothing compared.
    EXPECT_EQ(Check("1.2.3.4", "0.0.0.0", "9.9.9.9"), 0);
    // Texts of exactly 15 characters.
    EXPECT_EQ(Check("100.200.100.200", "255.255.255.0", "100.200.100.001"), 0);
    EXPECT_EQ(Check("100.200.100.200", "255.255.255.255", "100.200.100.201"), -2);
}

TEST(CheckIPInfoValidityTest, EqualTextsAreRefusedBeforeThePatternIsCompiled)
{
    struct Case {
        const char *ip, *mask, *gateway, *message;
    } cases[] = {
        {"192.168.1.1", "192.168.1.1", "192.168.1.2", "###### IP and SubMask is the same !"},
        {"192.168.1.1", "255.255.255.0", "192.168.1.1", "###### IP and Gateway is the same !"},
        {"192.168.1.1", "255.255.255.0", "255.255.255.0", "###### SubMask and Gateway is the same !"},
        // Equal malformed texts are reported as equal, as before.
        {"x", "255.255.255.0", "x", "###### IP and Gateway is the same !"},
    };
    for (const Case& c : cases) {
        LogSince log;
        EXPECT_EQ(Check(c.ip, c.mask, c.gateway), -2) << c.message;
        EXPECT_TRUE(log.Has(c.message)) << log.Text();
        EXPECT_FALSE(log.Has("IPAddr is ")) << log.Text();
        EXPECT_FALSE(log.Has("not a dotted IPv4 address")) << log.Text();
    }
}

// Texts that pass the part-matching rule with netmask 255.0.0.0 and gateway
// 1.9.9.9 (first part 1, three dots) but are not plain dotted addresses.
const std::vector<std::string>& MalformedTexts()
{
    static const std::vector<std::string> texts = {
        "1.2.3.4;reboot", "1.2.3.4 x", "1.2.3.4\r\n", "1.2.3.4\n", "1.2.3", "1.2.3.4.5", "256.1.1.1",
        " 1.2.3.4", "1.2.3.4 ", "\t1.2.3.4", "1.2.3.4\t", "1..3.4", ".1.2.3", "1.2.3.", "1.2.3.0004",
        "1.2.3.+4", "1.2.3.-4", "1.2.3.4a", "0x1.2.3.4", "1,2,3,4", "1.2.3.4/8", "1.2.3.$(reboot)", "1.2.3.`id`",
        "1.2.3.4;reboot;", "", "1.2.3.256", "1.2.300.4", "\xef\xbc\x91.2.3.4"};
    return texts;
}

TEST(CheckIPInfoValidityTest, RefusesAnythingButFourDecimalFields)
{
    for (const std::string& text : MalformedTexts()) {
        std::string shown = "<" + text + ">";
        LogSince log;
        EXPECT_EQ(Check(text, "255.0.0.0", "1.9.9.9"), -2) << shown;
        EXPECT_TRUE(log.Has("###### IPAddr<")) << shown << log.Text();
        EXPECT_TRUE(log.Has("> is not a dotted IPv4 address, refused!")) << shown << log.Text();
        // Refused before the pattern runs.
        EXPECT_FALSE(log.Has("IPAddr is ")) << shown << log.Text();
    }
    // The netmask and the gateway are held to the same form.
    EXPECT_EQ(Check("1.2.3.4", "255.0.0.0;ls", "1.9.9.9"), -2);
    EXPECT_EQ(Check("1.2.3.4", "255.0.0.0", "1.9.9.9 "), -2);
    EXPECT_EQ(Check("1.2.3.4", "255.0.0.0", "1.9.9.9\r\nSET X"), -2);
    EXPECT_EQ(Check("1.2.3.4", " 255.0.0.0", "1.9.9.9"), -2);
    // The well-formed neighbours of those texts pass.
    EXPECT_EQ(Check("1.2.3.4", "255.0.0.0", "1.9.9.9"), 0);
    EXPECT_EQ(Check("1.2.3.255", "255.0.0.0", "1.9.9.9"), 0);
}

TEST(CheckIPInfoValidityTest, LogsRefusedTextsWithoutLineBreaks)
{
    LogSince log;
    EXPECT_EQ(Check("1.2.3.4\r\nX", "255.0.0.0", "1.9.9.9"), -2);
    EXPECT_TRUE(log.Has("###### IPAddr<1.2.3.4??X> is not a dotted IPv4 address, refused!")) << log.Text();
}

TEST(CheckIPInfoValidityTest, RefusesFieldsWithoutTerminator)
{
    // 16 bytes without a terminator in each of the three fields.
    EXPECT_EQ(Check("192.168.100.2001", "255.255.255.0", "192.168.100.1"), -2);
    EXPECT_EQ(Check("192.168.100.2", "255.255.255.000x", "192.168.100.1"), -2);
    {
        LogSince log;
        EXPECT_EQ(Check("192.168.100.2", "255.255.255.0", "192.168.100.1111"), -2);
        EXPECT_TRUE(log.Has("###### Gateway<192.168.100.1111...> is not a dotted IPv4 address")) << log.Text();
    }

    // A 40-character text laid over the record: the address field runs into
    // the netmask field.
    std::unique_ptr<T_QuorEtherNetInfoSetReq> req(new T_QuorEtherNetInfoSetReq);
    memset(req.get(), 0, sizeof(*req));
    const char text40[] = "10.0.0.1;reboot;255.0.0.0;reboot;10.1.11";
    static_assert(sizeof(text40) == 41, "40 characters");
    memcpy(req.get(), text40, 40);
    EXPECT_EQ(CheckIPInfoValidity(req.get()), -2);

    // Every byte set, no terminator anywhere.
    memset(req.get(), '1', sizeof(*req));
    EXPECT_EQ(CheckIPInfoValidity(req.get()), -2);

    EXPECT_EQ(CheckIPInfoValidity(nullptr), -2);
}

TEST(FillEtherNetInfoSetReqTest, CopiesUpTo15CharactersAndRefusesLongerTexts)
{
    T_QuorEtherNetInfoSetReq req;
    ASSERT_EQ(FillEtherNetInfoSetReq(&req, "100.200.100.200", "255.255.255.0", "100.200.100.1"), 0);
    EXPECT_STREQ(req.IPAddr, "100.200.100.200");
    EXPECT_STREQ(req.SubMask, "255.255.255.0");
    EXPECT_STREQ(req.Gateway, "100.200.100.1");
    EXPECT_EQ(CheckIPInfoValidity(&req), 0);

    // 16 characters would be cut into another, valid, address: refused.
    const std::string sixteen = "192.168.100.2001";
    const std::string forty(40, '1');
    const T_QuorEtherNetInfoSetReq zero = {};
    for (const std::string& text : {sixteen, forty}) {
        memset(&req, 'x', sizeof(req));
        EXPECT_EQ(FillEtherNetInfoSetReq(&req, "1.2.3.4", "255.0.0.0", text.c_str()), -2) << text;
        EXPECT_EQ(memcmp(&req, &zero, sizeof(req)), 0) << "record is left cleared";
        EXPECT_EQ(FillEtherNetInfoSetReq(&req, text.c_str(), "255.0.0.0", "1.9.9.9"), -2) << text;
    }
    EXPECT_EQ(FillEtherNetInfoSetReq(&req, nullptr, "255.0.0.0", "1.9.9.9"), -2);
    EXPECT_EQ(FillEtherNetInfoSetReq(nullptr, "1.2.3.4", "255.0.0.0", "1.9.9.9"), -2);
}

TEST(CheckIPV4AddrFormatTest, FourFieldsWithinTheGivenBytes)
{
    uint8_t parts[4] = {9, 9, 9, 9};
    ASSERT_EQ(CheckIPV4AddrFormat("255.0.10.7", 16, parts), 0);
    EXPECT_EQ(parts[0], 255);
    EXPECT_EQ(parts[1], 0);
    EXPECT_EQ(parts[2], 10);
    EXPECT_EQ(parts[3], 7);
    // The terminator must lie within the bytes given.
    EXPECT_EQ(CheckIPV4AddrFormat("1.2.3.4", 7, nullptr), -2);
    EXPECT_EQ(CheckIPV4AddrFormat("1.2.3.4", 8, nullptr), 0);
    uint8_t untouched[4] = {9, 9, 9, 9};
    EXPECT_EQ(CheckIPV4AddrFormat("1.2.3.999", 16, untouched), -2);
    EXPECT_EQ(untouched[0], 9);
    EXPECT_EQ(CheckIPV4AddrFormat(nullptr, 16, parts), -2);
}

TEST(CheckIPV4SubMaskValidityTest, SplitsIntoAtMostFourParts)
{
    uint8_t parts[4] = {1, 1, 1, 1};
    {
        LogSince log;
        ASSERT_EQ(CheckIPV4SubMaskValidity("255.255.255.0", parts), 0);
        EXPECT_TRUE(log.Has("part[0]: 255")) << log.Text();
        EXPECT_TRUE(log.Has("part[3]: 0")) << log.Text();
    }
    EXPECT_EQ(parts[0], 255);
    EXPECT_EQ(parts[3], 0);

    ASSERT_EQ(CheckIPV4SubMaskValidity("255.0.255.0", parts), 0);
    EXPECT_EQ(parts[1], 0);
    EXPECT_EQ(parts[2], 255);

    // Fewer parts leave the rest 0; a part's low 8 bits count (300 -> 44).
    ASSERT_EQ(CheckIPV4SubMaskValidity("255.300.2", parts), 0);
    EXPECT_EQ(parts[1], 44);
    EXPECT_EQ(parts[2], 2);
    EXPECT_EQ(parts[3], 0);
    // 511 is 255 in its low 8 bits.
    EXPECT_EQ(CheckIPV4SubMaskValidity("511.0.0.0", parts), 0);

    {
        LogSince log;
        EXPECT_EQ(CheckIPV4SubMaskValidity("255.255.255.0.1", parts), -2);
        EXPECT_TRUE(log.Has("###### NetMask format error, more than four parts!")) << log.Text();
        EXPECT_EQ(CheckIPV4SubMaskValidity("255.1.1.1.1.1.1.1.1.1.1.1.1.1.1.1.1.1.1.1.1", parts), -2);
    }
    {
        LogSince log;
        EXPECT_EQ(CheckIPV4SubMaskValidity("254.255.255.0", parts), -2);
        EXPECT_EQ(CheckIPV4SubMaskValidity("", parts), -2);
        EXPECT_TRUE(log.Has("###### NetMask First is Not 255!")) << log.Text();
    }
    {
        LogSince log;
        EXPECT_EQ(CheckIPV4SubMaskValidity(nullptr, parts), -2);
        EXPECT_TRUE(log.Has("###### ArgumentErr, it is NULL!")) << log.Text();
    }
}

} // namespace
