// One endpoint on the simulated board: a test namespace whose address the
// host reaches, a fresh board root whose command port and group socket
// listen on that address, "sync" recorded like the board's own programs, the
// simulated MCU and display on the serial links, and velmard when a test
// starts it. Needs the simulator library (velmar_sim) and the
// built velmard (quor_uses_programs).
#ifndef SIMULATED_ENDPOINT_FIXTURE_H
#define SIMULATED_ENDPOINT_FIXTURE_H

#include <memory>
#include <string>

#include "DisplaySimulator.h"
#include "McuSimulator.h"
#include "VelmardProcess.h"

namespace board_test {

// Where the endpoint's command port and group socket listen.
const uint16_t kEndpointTelnetPort = 2323;
const uint16_t kEndpointUdpPort = 3334;

class SimulatedEndpointTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fNetns.reset(new TestNetns(true));
        ASSERT_TRUE(fNetns->Ok()) << fNetns->Output();
        fRoot.reset(new TempBoardRoot({"--telnet-ip", fNetns->Address(), "--telnet-port",
                                       std::to_string(kEndpointTelnetPort), "--udp-ip", fNetns->Address(), "--udp-port",
                                       std::to_string(kEndpointUdpPort)}));
        ASSERT_TRUE(fRoot->Ok()) << fRoot->LayoutOutput();
        ASSERT_TRUE(WriteText(fRoot->File("/usr/bin/sync"),
                              "#!/bin/sh\n"
                              ". \"$VELMAR_ROOT/usr/lib/board-sim/board-call.sh\"\n"
                              "board_call sync \"$@\"\n",
                              0755));
        ASSERT_EQ(0, fMcu.Start(SimEndpointOptions{fRoot->File("/dev/ttyS1"), fRoot->File("/var/log/mcu.log")}));
        ASSERT_EQ(0, fDisplay.Start(SimEndpointOptions{fRoot->File("/dev/ttyS2"), ""}));
    }
    void TearDown() override
    {
        fDaemon.reset();
        fMcu.Stop();
        fDisplay.Stop();
        fRoot.reset();
        fNetns.reset();
    }

    void StartDaemon() { fDaemon.reset(new Velmard(*fRoot, *fNetns)); }
    bool WaitCalls(const std::string& text, int timeoutMs = 10000) const
    {
        return WaitFor([&] { return fRoot->Calls().find(text) != std::string::npos; }, timeoutMs);
    }

    std::unique_ptr<TestNetns> fNetns;
    std::unique_ptr<TempBoardRoot> fRoot;
    McuSimulator fMcu;
    DisplaySimulator fDisplay;
    std::unique_ptr<Velmard> fDaemon;
};

} // namespace board_test

#endif
