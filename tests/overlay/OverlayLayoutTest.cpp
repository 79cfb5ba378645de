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
    for (const char* path : {"/usr/lib/velmar/service.sh", "/Velmar/etc/Velmar_factory.xml"})
        EXPECT_EQ(ModeOf(Overlay().File(path)), static_cast<mode_t>(S_IFREG | 0644)) << path;
    for (const char* path : {"/Velmar/etc/Velmar.xml", "/var/tmpfs/SavePowerOff.conf"})
        EXPECT_EQ(ModeOf(Overlay().Setting(path)), static_cast<mode_t>(S_IFREG | 0644)) << path;
    EXPECT_EQ(ModeOf(Overlay().File("/usr/lib/velmar/install-settings")), static_cast<mode_t>(S_IFREG | 0755));
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
        EXPECT_EQ(Overlay().Read(c.first), board_test::ReadText(Overlay().Setting(c.second))) << c.first;
        // The overlay itself never carries a setting: unpacking it keeps a board's own.
        EXPECT_FALSE(PathExists(Overlay().File(c.second))) << c.second;
    }
    EXPECT_FALSE(PathExists(Overlay().File("/etc/network/interfaces")));
    EXPECT_EQ(Overlay().Read("/usr/sbin/configip_bak"),
              "#!/bin/sh\n# The board's network settings (written anew by setip; restored from configip_bak\n"
              "# by a factory reset).\nifconfig eth0 192.168.2.100 netmask 255.255.255.0\n"
              "route add default gw 192.168.2.1\n");
}

TEST_F(OverlayLayoutTest, PreferencesCarryTheBoardsAddressesAndPorts)
{
    const std::string xml = Overlay().Read("/Velmar/etc/Velmar_factory.xml");
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

// Unpacks the overlay's tarball over root (as the README says: at "/") and
// runs the first-boot step.
bool UnpackOverlay(const overlay_test::TempOverlay& overlay, const std::string& root)
{
    return RunProcess({"tar", "-xzf", overlay.Tarball(), "-C", root}).Exited(0) &&
           overlay_test::TempOverlay::InstallSettings(root);
}

// Each setting, its factory value (where the board's reset takes it from)
// and what a configured board holds instead.
struct SettingCase {
    const char* path;
    const char* factory;
    const char* configured;
};
const SettingCase kSettings[] = {
    {"/Velmar/etc/Velmar.xml", "/Velmar/etc/Velmar_factory.xml", "<?xml version=\"1.0\"?>\n<CONFIG>changed</CONFIG>\n"},
    {"/var/tmpfs/SavePowerOff.conf", "/var/tmpfs/SavePowerOff_Default.conf", "UserPassWord=s3cret\nalias=Hall-7\n"},
    {"/usr/sbin/configip", "/usr/sbin/configip_bak", "#!/bin/sh\nifconfig eth0 10.1.2.3 netmask 255.0.0.0\n"},
    {"/etc/network/interfaces", nullptr, "auto eth0\niface eth0 inet static\n"},
    {"/www/images/logo.png", "/www/images/logo_factory.png", "PNG of the hall"},
};

TEST_F(OverlayLayoutTest, AFreshBoardGetsTheFactorySettingsAConfiguredOneKeepsItsOwn)
{
    const std::string parent = board_test::MakeTempDir("settings");
    ASSERT_FALSE(parent.empty());
    const std::string fresh = parent + "/fresh", configured = parent + "/configured";
    ASSERT_EQ(mkdir(fresh.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(configured.c_str(), 0755), 0);

    ASSERT_TRUE(UnpackOverlay(Overlay(), fresh));
    ASSERT_TRUE(UnpackOverlay(Overlay(), configured));
    for (const SettingCase& c : kSettings) {
        const std::string value = board_test::ReadText(fresh + c.path);
        EXPECT_FALSE(value.empty()) << c.path;
        if (c.factory != nullptr) {
            EXPECT_EQ(value, board_test::ReadText(fresh + c.factory)) << c.path;
        }
        ASSERT_TRUE(board_test::WriteText(configured + c.path, c.configured)) << c.path;
    }
    // An upgrade of the overlay, unpacked again over the configured board.
    ASSERT_TRUE(UnpackOverlay(Overlay(), configured));
    for (const SettingCase& c : kSettings) {
        EXPECT_EQ(board_test::ReadText(configured + c.path), c.configured) << c.path;
        if (c.factory != nullptr) {
            EXPECT_EQ(board_test::ReadText(configured + c.factory), board_test::ReadText(fresh + c.factory)) << c.path;
        }
    }
    board_test::RemoveTree(parent);
}

} // namespace
