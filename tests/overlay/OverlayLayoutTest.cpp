// The board overlay: the programs and start scripts at their places, nothing
// of the simulation left, the factory copies, the board's own preference
// values, and a tarball of the same tree owned by root.
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>

#include "OverlayTestSupport.h"

using board_test::PathExists;
using board_test::RunProcess;

namespace {

class OverlayLayoutTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { sOverlay = new overlay_test::TempOverlay(); }
    static void TearDownTestSuite() { delete sOverlay; }
    void SetUp() override { ASSERT_TRUE(sOverlay->Ok()) << sOverlay->Output(); }
    const overlay_test::TempOverlay& Overlay() const { return *sOverlay; }

private:
    static overlay_test::TempOverlay* sOverlay;
};
overlay_test::TempOverlay* OverlayLayoutTest::sOverlay = nullptr;

mode_t ModeOf(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

TEST_F(OverlayLayoutTest, ProgramsAndStartScriptsAreExecutableFiles)
{
    for (const char* path : {"/usr/bin/velmard", "/usr/bin/QuorNdk", "/usr/bin/velmarcmd", "/etc/init.d/velmard",
                             "/etc/init.d/QuorNdk", "/etc/init.d/S90velmar"})
        EXPECT_EQ(ModeOf(Overlay().File(path)), static_cast<mode_t>(S_IFREG | 0755)) << path;
    for (const char* path : {"/Velmar/etc/Velmar.xml", "/usr/lib/velmar/service.sh", "/var/tmpfs/SavePowerOff.conf"})
        EXPECT_EQ(ModeOf(Overlay().File(path)), static_cast<mode_t>(S_IFREG | 0644)) << path;
    for (const char* path : {"/var/Velmar", "/var/log/velmarcmd", "/var/run", "/www/tmp", "/Velmar/Upgrade/ARM"})
        EXPECT_EQ(ModeOf(Overlay().File(path)), static_cast<mode_t>(S_IFDIR | 0755)) << path;
}

TEST_F(OverlayLayoutTest, NothingOfTheSimulationIsLeft)
{
    for (const char* path : {"/sys", "/proc", "/dev", "/usr/lib/board-sim", "/var/log/board-calls.log",
                             "/usr/sbin/setip", "/sbin/reboot", "/sbin/udhcpc"})
        EXPECT_FALSE(PathExists(Overlay().File(path))) << path;
    board_test::ProcessResult grep = RunProcess({"grep", "-rl", "board-sim", Overlay().Root()});
    EXPECT_TRUE(grep.Exited(1)) << grep.output;
    EXPECT_EQ(Overlay().Read("/etc/init.d/velmard"), board_test::ReadText(board_test::SourcePath("board/overlay/etc/init.d/velmard")));
}

TEST_F(OverlayLayoutTest, FactoryCopiesEqualWhatTheyRestore)
{
    const std::pair<const char*, const char*> copies[] = {
        {"/Velmar/etc/Velmar_factory.xml", "/Velmar/etc/Velmar.xml"},
        {"/var/tmpfs/SavePowerOff_Default.conf", "/var/tmpfs/SavePowerOff.conf"},
        {"/usr/sbin/configip_bak", "/usr/sbin/configip"},
        {"/www/images/logo_factory.png", "/www/images/logo.png"},
    };
    for (const auto& c : copies) {
        EXPECT_FALSE(Overlay().Read(c.first).empty()) << c.first;
        EXPECT_EQ(Overlay().Read(c.first), Overlay().Read(c.second)) << c.first;
    }
    EXPECT_EQ(Overlay().Read("/usr/sbin/configip"),
              "#!/bin/sh\n# The board's network settings (written anew by setip; restored from configip_bak\n"
              "# by a factory reset).\nifconfig eth0 192.168.2.100 netmask 255.255.255.0\n"
              "route add default gw 192.168.2.1\n");
}

TEST_F(OverlayLayoutTest, PreferencesCarryTheBoardsAddressesAndPorts)
{
    const std::string xml = Overlay().Read("/Velmar/etc/Velmar.xml");
    for (const char* pref : {"<PREF NAME=\"QuorVelmar_TelnetIp\" >127.0.0.1</PREF>",
                             "<PREF NAME=\"QuorVelmar_TelnetPort\" TYPE=\"UInt16\" >23</PREF>",
                             "<PREF NAME=\"QuorVelmar_UdpIp\" >0.0.0.0</PREF>",
                             "<PREF NAME=\"QuorVelmar_UdpPort\" TYPE=\"UInt16\" >3334</PREF>"})
        EXPECT_NE(xml.find(pref), std::string::npos) << pref << "\n" << xml;
}

TEST_F(OverlayLayoutTest, TarballHoldsTheSameTreeOwnedByRoot)
{
    board_test::ProcessResult listing = RunProcess({"tar", "-tvzf", Overlay().Tarball()});
    ASSERT_TRUE(listing.Exited(0)) << listing.output;
    std::set<std::string> packed;
    std::istringstream lines(listing.output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string mode, owner, size, date, time, name;
        words >> mode >> owner >> size >> date >> time >> name;
        EXPECT_EQ(owner, "0/0") << line;
        packed.insert(name.size() > 2 && name.back() == '/' ? name.substr(0, name.size() - 1) : name);
    }
    board_test::ProcessResult found = RunProcess({"sh", "-c", "cd \"$0\" && find . -mindepth 1", Overlay().Root()});
    std::set<std::string> tree;
    std::istringstream names(found.output);
    for (std::string name; std::getline(names, name);)
        tree.insert(name);
    packed.erase("./");
    EXPECT_EQ(packed, tree);
}

} // namespace
