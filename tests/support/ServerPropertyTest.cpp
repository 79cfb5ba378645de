#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "LightLog.h"
#include "SupportTestUtil.h"
#include "serverproperty.h"

namespace {

class ServerPropertyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        T_LightLogCallBack cb = LightLogStdioCallBack();
        ASSERT_EQ(0, LightLogSetCallBack(&cb));
        ASSERT_EQ(0, LightLogSetup((fDir.Path() + "/log").c_str(), 100000, 10, 10000));
        fPath = fDir.File("SavePowerOff.conf");
    }
    void TearDown() override { LightLogExit(); }
    std::string Log()
    {
        LightLogFlush();
        return ReadText(fDir.Path() + "/log001.logTmp");
    }
    std::string Get(int (CServerProperty::*getter)(char*, size_t))
    {
        char buffer[128];
        EXPECT_EQ(1, (fProp.*getter)(buffer, sizeof(buffer)));
        return buffer;
    }
    int Init(const std::string& content)
    {
        EXPECT_TRUE(WriteFile(fPath, content));
        return fProp.Init(fPath.c_str());
    }

    TempDir fDir;
    std::string fPath;
    CServerProperty fProp;
};

TEST_F(ServerPropertyTest, DefaultsWithoutAFile)
{
    EXPECT_EQ(0, fProp.Init(fPath.c_str()));
    EXPECT_NE(std::string::npos, Log().find("######m_objTextParser parse [" + fPath + "] failed"));
    EXPECT_TRUE(fProp.PasswdOK("plomb"));
    EXPECT_EQ("QuorVelmar", Get(&CServerProperty::GetDevAlias));
    EXPECT_EQ("static", Get(&CServerProperty::GetIpMod));
    EXPECT_EQ("192.168.2.1", Get(&CServerProperty::GetGateway));
    EXPECT_EQ("on", Get(&CServerProperty::GetLogoutMod));
    EXPECT_EQ("5", Get(&CServerProperty::GetLogoutTime));
    EXPECT_EQ(0u, fProp.GetDevSqnMaxNum());
    EXPECT_EQ(0u, fProp.GetRS232TimerConfiger());
    EXPECT_EQ(0, Init(""));
    EXPECT_EQ(0, Init("\n\n"));
    EXPECT_EQ(CServerProperty::GetInstance(), CServerProperty::GetInstance());
}

TEST_F(ServerPropertyTest, ReadingRules)
{
    ASSERT_EQ(1, Init(" ipmod = dhcp \r\nalias=\n=x\nnoequals\ngateway=10.0.0.1\ngateway=10.0.0.2\n"
                      "sequence_number=17\nrsdelaycontroltime=250\nautolog_time = 1 5\nUserPassWord=a=b\n"));
    EXPECT_EQ("dhcp", Get(&CServerProperty::GetIpMod));
    EXPECT_EQ("QuorVelmar", Get(&CServerProperty::GetDevAlias));  // empty value ignored
    EXPECT_EQ("10.0.0.2", Get(&CServerProperty::GetGateway));     // the later line wins
    EXPECT_EQ("15", Get(&CServerProperty::GetLogoutTime));         // blanks removed inside
    EXPECT_EQ(17u, fProp.GetDevSqnMaxNum());
    EXPECT_EQ(250u, fProp.GetRS232TimerConfiger());
    EXPECT_TRUE(fProp.PasswdOK("a=b"));  // the first "=" splits
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("not find autolog_mod"));
    EXPECT_EQ(std::string::npos, log.find("not find autolog_time"));
    EXPECT_NE(std::string::npos, log.find("GetDevSqnMaxNum <17>"));
    EXPECT_NE(std::string::npos, log.find("GetIpMod <dhcp>"));
}

TEST_F(ServerPropertyTest, GettersAreBounded)
{
    std::string longAlias(300, 'n');
    ASSERT_EQ(1, Init("alias=" + longAlias + "\n"));
    char small[8];
    memset(small, 'X', sizeof(small));
    EXPECT_EQ(1, fProp.GetDevAlias(small, sizeof(small)));
    EXPECT_STREQ("nnnnnnn", small);
    EXPECT_EQ(0, fProp.GetDevAlias(nullptr, 10));
    EXPECT_EQ(0, fProp.GetDevAlias(small, 0));
    char number[3];
    ASSERT_EQ(1, Init("sequence_number=12345\n"));
    EXPECT_EQ(12345u, fProp.GetDevSqnMaxNum(number, sizeof(number)));
    EXPECT_STREQ("12", number);
}

TEST_F(ServerPropertyTest, PasswordCheck)
{
    ASSERT_EQ(1, Init("UserPassWord=secret\n"));
    EXPECT_TRUE(fProp.PasswdOK("secret"));
    EXPECT_FALSE(fProp.PasswdOK("secretX"));
    EXPECT_FALSE(fProp.PasswdOK("secre"));
    EXPECT_FALSE(fProp.PasswdOK(""));
    EXPECT_FALSE(fProp.PasswdOK(nullptr));
    std::vector<std::string> lines = SplitLines(Log());
    auto find = [&](const std::string& request) {
        for (const std::string& l : lines)
            if (l.find("RequestPassWord<" + request + ">") != std::string::npos)
                return l;
        return std::string();
    };
    // The stored password is a prefix of "secretX": the information form.
    EXPECT_NE(std::string::npos, find("secretX").find("[20000]: verify passwd: ActualPassWord<secret>"));
    EXPECT_NE(std::string::npos, find("secre").find("[40000]: ######verify passwd: ActualPassWord<secret>"));
}

TEST_F(ServerPropertyTest, SetterPatchesOnlyItsOwnLine)
{
    ASSERT_EQ(1, Init("rsdelaycontroltime=0\nsequence_number=0\n"));
    EXPECT_EQ(1, fProp.SetDevSqnMaxNum("3"));
    EXPECT_EQ("rsdelaycontroltime=0\nsequence_number=3\n", ReadText(fPath));
    EXPECT_EQ(3u, fProp.GetDevSqnMaxNum());
    EXPECT_EQ(0u, fProp.GetRS232TimerConfiger());

    ASSERT_EQ(1, Init("UserPassWord=on\nautolog_mod=on\n"));
    EXPECT_EQ(1, fProp.SetLogoutMod("off"));
    EXPECT_EQ("UserPassWord=on\nautolog_mod=off\n", ReadText(fPath));

    ASSERT_EQ(1, Init("alias=static\nipmod=static\n"));
    EXPECT_EQ(1, fProp.SetIpMod("dhcp"));
    EXPECT_EQ("alias=static\nipmod=dhcp\n", ReadText(fPath));
    EXPECT_EQ("dhcp", Get(&CServerProperty::GetIpMod));
    EXPECT_EQ("static", Get(&CServerProperty::GetDevAlias));
    EXPECT_NE(std::string::npos, Log().find("SetIpMod from<static> to <dhcp>"));
}

TEST_F(ServerPropertyTest, PatchKeepsEveryOtherByte)
{
    // Blanks, a carriage return, comments and a duplicate key: the last line
    // of the key is the one the reader takes, so that one is patched.
    std::string content = "# comment\r\n gateway = 1.1.1.1 \r\nalias=a\ngateway=2.2.2.2\r\nno equals here\nx=y";
    ASSERT_EQ(1, Init(content));
    EXPECT_EQ(1, fProp.SetGateway("9.9.9.9"));
    EXPECT_EQ("# comment\r\n gateway = 1.1.1.1 \r\nalias=a\ngateway=9.9.9.9\r\nno equals here\nx=y",
              ReadText(fPath));
    EXPECT_EQ(1, fProp.SetDevAlias("My TV"));  // blanks are stored, and dropped when read
    EXPECT_EQ("# comment\r\n gateway = 1.1.1.1 \r\nalias=My TV\ngateway=9.9.9.9\r\nno equals here\nx=y",
              ReadText(fPath));
    CServerProperty again;
    ASSERT_EQ(1, again.Init(fPath.c_str()));
    char alias[32];
    again.GetDevAlias(alias, sizeof(alias));
    EXPECT_STREQ("MyTV", alias);
    EXPECT_EQ(0664u, FileMode(fPath));
}

TEST_F(ServerPropertyTest, MissingKeyIsAppended)
{
    ASSERT_EQ(1, Init("alias=a"));
    EXPECT_EQ(1, fProp.ChangePasswd("newpw"));
    EXPECT_EQ("alias=a\nUserPassWord=newpw\n", ReadText(fPath));
    EXPECT_EQ(1, fProp.SetLogoutTime("7"));
    EXPECT_EQ("alias=a\nUserPassWord=newpw\nautolog_time=7\n", ReadText(fPath));
    CServerProperty again;
    ASSERT_EQ(1, again.Init(fPath.c_str()));
    EXPECT_TRUE(again.PasswdOK("newpw"));

    // A missing file is created.
    ASSERT_EQ(0, unlink(fPath.c_str()));
    EXPECT_EQ(1, fProp.SetIpMod("dhcp"));
    EXPECT_EQ("ipmod=dhcp\n", ReadText(fPath));
}

TEST_F(ServerPropertyTest, LogoutTimeIsClamped)
{
    ASSERT_EQ(1, Init("autolog_time=10\n"));
    EXPECT_EQ(1, fProp.SetLogoutTime("2"));
    EXPECT_EQ("autolog_time=5\n", ReadText(fPath));
    EXPECT_EQ(1, fProp.SetLogoutTime("45"));
    EXPECT_EQ("30", Get(&CServerProperty::GetLogoutTime));
    EXPECT_EQ(1, fProp.SetLogoutTime("abc"));
    EXPECT_EQ("autolog_time=5\n", ReadText(fPath));
    EXPECT_EQ(1, fProp.SetLogoutTime("12"));
    EXPECT_EQ("autolog_time=12\n", ReadText(fPath));
    EXPECT_EQ(1, fProp.SetLogoutTime("99999999999999999999"));
    EXPECT_EQ("autolog_time=30\n", ReadText(fPath));
}

TEST_F(ServerPropertyTest, LineBreaksAndNulAreRefused)
{
    const std::string content = "UserPassWord=pw\nipmod=static\n";
    ASSERT_EQ(1, Init(content));
    EXPECT_EQ(0, fProp.ChangePasswd("x\nipmod=dhcp"));
    EXPECT_EQ(0, fProp.SetDevAlias("a\rb"));
    EXPECT_EQ(0, fProp.SetGateway(std::string("1.2.3.4\0x", 9)));
    EXPECT_EQ(0, fProp.WriteContentToFile("k=v\nipmod=dhcp"));
    EXPECT_EQ(content, ReadText(fPath));
    EXPECT_TRUE(fProp.PasswdOK("pw"));
    EXPECT_EQ("QuorVelmar", Get(&CServerProperty::GetDevAlias));
    EXPECT_NE(std::string::npos, Log().find("######Set UserPassWord refused"));
}

TEST_F(ServerPropertyTest, FailedWriteKeepsFileAndValue)
{
    const std::string content = "ipmod=static\n";
    ASSERT_EQ(1, Init(content));
    ASSERT_EQ(0, mkdir((fPath + ".tmp").c_str(), 0755));  // the temporary file cannot be made
    EXPECT_EQ(0, fProp.SetIpMod("dhcp"));
    EXPECT_EQ(content, ReadText(fPath));
    EXPECT_EQ("static", Get(&CServerProperty::GetIpMod));
    EXPECT_EQ(0, fProp.WriteContentToFile("k=v"));
    EXPECT_EQ(content, ReadText(fPath));
    ASSERT_EQ(0, rmdir((fPath + ".tmp").c_str()));
    EXPECT_EQ(1, fProp.SetIpMod("dhcp"));
    EXPECT_EQ("ipmod=dhcp\n", ReadText(fPath));
    EXPECT_FALSE(PathExists(fPath + ".tmp"));
}

TEST_F(ServerPropertyTest, OnlyAMissingFileReadsAsEmptyForAChange)
{
    ASSERT_EQ(1, Init("ipmod=static\n"));
    // A file that cannot be read (here: a directory) refuses the change.
    ASSERT_EQ(0, unlink(fPath.c_str()));
    ASSERT_EQ(0, mkdir(fPath.c_str(), 0755));
    EXPECT_EQ(0, fProp.SetIpMod("dhcp"));
    EXPECT_EQ(0, fProp.WriteContentToFile("k=v"));
    EXPECT_EQ("static", Get(&CServerProperty::GetIpMod));
    EXPECT_NE(std::string::npos, Log().find("######Read serverproperty[" + fPath + "] failed, errno <21>"));
    // A missing file is written with the one key.
    ASSERT_EQ(0, rmdir(fPath.c_str()));
    EXPECT_EQ(1, fProp.SetIpMod("dhcp"));
    EXPECT_EQ("ipmod=dhcp\n", ReadText(fPath));
}

TEST_F(ServerPropertyTest, LargeFilesArePatchedWhole)
{
    std::string content;
    for (int i = 0; i < 600; ++i)
        content += "filler" + std::to_string(i) + "=" + std::string(20, 'f') + "\n";
    content += "gateway=1.1.1.1\n";
    ASSERT_GT(content.size(), 10000u);
    ASSERT_EQ(1, Init(content));
    std::string longValue(3000, 'g');
    EXPECT_EQ(1, fProp.SetGateway(longValue));
    std::string expected = content.substr(0, content.size() - 8) + longValue + "\n";
    EXPECT_EQ(expected, ReadText(fPath));
    EXPECT_EQ(1, fProp.WriteContentToFile("extra=1"));
    EXPECT_EQ(expected + "\nextra=1", ReadText(fPath));
    EXPECT_NE(std::string::npos, Log().find("write serverproperty[" + fPath + "]:["));
}

TEST_F(ServerPropertyTest, ConcurrentSettersLoseNothing)
{
    ASSERT_EQ(1, Init("alias=a\n"));
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; i < 40; ++i)
            fProp.SetDevAlias("alias" + std::to_string(i));
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 40; ++i)
            fProp.SetGateway("10.0.0." + std::to_string(i));
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 40; ++i)
            fProp.SetDevSqnMaxNum(std::to_string(i));
    });
    threads.emplace_back([&] {
        char buffer[64];
        for (int i = 0; i < 200; ++i) {
            fProp.GetDevAlias(buffer, sizeof(buffer));
            fProp.GetGateway(buffer, sizeof(buffer));
            fProp.PasswdOK("plomb");
        }
    });
    for (std::thread& t : threads)
        t.join();
    CServerProperty again;
    ASSERT_EQ(1, again.Init(fPath.c_str()));
    char buffer[64];
    again.GetDevAlias(buffer, sizeof(buffer));
    EXPECT_STREQ("alias39", buffer);
    again.GetGateway(buffer, sizeof(buffer));
    EXPECT_STREQ("10.0.0.39", buffer);
    EXPECT_EQ(39u, again.GetDevSqnMaxNum());
}

TEST(TextParser, WriteSortsBytewiseAndMarksAnEmptyMap)
{
    TempDir dir;
    std::string path = dir.File("p.conf");
    ASSERT_TRUE(WriteFile(path, "z=1\n"));
    CTextParser parser;
    ASSERT_EQ(1, parser.Parse(path));
    EXPECT_EQ(1, parser.GetKeySize());
    EXPECT_EQ(1, parser.GetValAsSInt32("z"));
    EXPECT_EQ(0, parser.GetValAsSInt32("missing"));
    parser.Clear();
    EXPECT_EQ(2, parser.Write());
    EXPECT_EQ("1\n", ReadText(path));
    parser.SetKey("alias", "b");
    parser.SetKey("UserPassWord", "a");
    parser.SetKey("\xC3" "x", "c");  // bytes >= 0x80 sort last
    parser.SetKey("gone", "x");
    parser.DeleteKey("gone");
    EXPECT_TRUE(parser.KeyExist("alias"));
    EXPECT_FALSE(parser.KeyExist("gone"));
    std::string longValue(600, 'v');  // not cut
    parser.SetKey("long", longValue);
    EXPECT_GT(parser.Write(), 0);
    EXPECT_EQ("UserPassWord=a\nalias=b\nlong=" + longValue + "\n\xC3x=c\n", ReadText(path));
    CTextParser none;
    EXPECT_EQ(0, none.Write());
}

TEST(ServerPropertyFiles, TimeTextAndFileFunctions)
{
    std::string a = GetTimeStr();
    EXPECT_TRUE(MatchesShape(a, "9999-99-99 99:99:99")) << a;
    const char* mine = GetTimeStr();
    const char* other = nullptr;
    std::thread([&] { other = GetTimeStr(); }).join();
    EXPECT_NE(mine, other);  // one buffer per thread

    TempDir dir;
    std::string path = dir.File("f");
    std::string data("a\0b\nc", 5);
    EXPECT_EQ(5, StringToFile(data, path.c_str()));
    std::string back;
    EXPECT_EQ(5, FileToString(path.c_str(), back));
    EXPECT_EQ(data, back);
    EXPECT_EQ(0664u, FileMode(path));
    EXPECT_EQ(-1, FileToString(dir.File("none").c_str(), back));
    EXPECT_EQ(-1, StringToFile("x", dir.File("no/such/dir").c_str()));
}

}  // namespace
