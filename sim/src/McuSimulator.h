// The simulated video-switching MCU on the daemon's MCU serial line.
//
// It speaks the MCU's line language: every query the daemon's start flow
// sends is answered from the simulator's own state, SET lines change that
// state and are answered with the new value, the way the daemon's answer
// handlers expect. The lines that push the module's network identity to the
// MCU ("SET SDXBIP ...", "set sdxmask ...", "set sdxgateway ...",
// "set sdxmacaddr ...") are stored but not answered unless a test asks for
// it (SetEchoIdentity): an SDXGATEWAY answer starts the daemon's network
// reconfiguration.
//
//   GET ORDER                    -> ORDER 1
//   GET SUBGROUP                 -> SUBGROUP self off
//   GET RING_MARKER              -> RING_MARKER off
//   GET SHOWME                   -> SHOWME off
//   GET MP all                   -> MP hdmi all
//   GET EDID all                 -> EDID all 1080P
//   GET HDCPSUPPORT_ONOFF hdmi   -> HDCPSUPPORT_ONOFF hdmi ON
//   GET HDCPSUPPORT_ONOFF dp     -> HDCPSUPPORT_ONOFF dp ON
//   GET VER                      -> VER hdmi 1.0.2
//   GET CECAUTO_ONOFF hdmi       -> CECAUTO_ONOFF hdmi ON
//   GET CECAUTO_DELAY hdmi       -> CECAUTO_DELAY hdmi 5
//   GET LEDFLICKER               -> LEDFLICKER off
//   GET AUTOSW_ONOFF             -> AUTOSW_ONOFF on
//   GET UARTAUTO_ONOFF hdmi      -> uartauto_onoff hdmi on
//   GET UARTPWR_DELAY hdmi       -> uartpwr_delay hdmi 3
//   GET EDID_R hdmi              -> EDID_R hdmi 00 FF FF FF FF FF FF 00 ... (128 bytes)
//   SET SUBGROUP self on         -> SUBGROUP self on     (likewise for every settable value)
//   SET SW dp all                -> SW dp all            (MP and SW select the video input)
//   RESET                        -> RESET
//
// Keywords and GET/SET are recognised in any letter case.
//
// "UPG" enters the boot loader (SimFlashLoader.h), which takes the line's
// bytes until it leaves for the text language again.
#ifndef VELMAR_SIM_MCUSIMULATOR_H
#define VELMAR_SIM_MCUSIMULATOR_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "SimEndpoint.h"
#include "SimFlashLoader.h"

struct McuSimState {
    std::string order = "1";
    std::string subgroup = "off";
    std::string ringMarker = "off";
    std::string showMe = "off";
    std::string alias = "VelmarTX";
    std::string videoInput = "hdmi";
    std::string videoOutput = "all";
    std::string edidSetting = "1080P";
    std::string hdcpHdmi = "ON";
    std::string hdcpDp = "ON";
    std::string hdcpIn = "1.4";
    std::string hdcpOut = "1.4";
    std::string version = "1.0.2";
    std::string cecAuto = "ON";
    std::string cecDelay = "5";
    std::string cecPower = "ON";
    std::string ledFlicker = "off";
    std::string autoSw = "on";
    std::string uartAuto = "on";
    std::string uartPowerDelay = "3";
    // The module identity last pushed by the daemon.
    std::string ip;
    std::string netmask;
    std::string gateway;
    std::string macTail;
    // The EDID reported by "GET EDID_R <port>".
    std::string edid = DefaultEdid();

    // 128 bytes: a valid EDID 1.3 base block of a plain 1080p display.
    static std::string DefaultEdid();
};

class McuSimulator : public SimEndpoint {
public:
    McuSimulator();
    ~McuSimulator() override;

    McuSimState State() const;
    void UpdateState(const std::function<void(McuSimState&)>& change);
    // Answer the identity lines with SDXBIP, SDXMASK, SDXGATEWAY and
    // SDXMACADDR lines (off by default).
    void SetEchoIdentity(bool echo);
    // Sends one line with CR LF, as if the MCU reported something by itself.
    void Inject(const std::string& line, int delayMs = 0) { SendLine(line, delayMs); }

    // Besides the common commands: "!echo-identity on|off", "!set <KEYWORD>
    // [port] <value>" (changes the state without answering) and "!state"
    // (logs the state).
    std::string Control(const std::string& command) override;
    std::vector<std::string> ControlHelp() const override;

    // The answers to one line, applying a SET to the state; what the I/O
    // thread sends when nothing overrides it. `forceSet` also changes values
    // the daemon cannot set (the version, the HDCP status).
    std::vector<std::string> Respond(const std::string& line, bool forceSet);

    // The boot loader: its fault switches, pacing and the blocks written.
    SimFlashLoader& FlashLoader() { return m_loader; }
    // The chatter fault: a byte every gapMs from now until StopChatter (or
    // "!icp none"), whatever the daemon sends or does with the line.
    void StartChatter(int gapMs);
    void StopChatter();
    uint64_t ChatterBytes() const { return m_chatterBytes.load(); }
    // When the chatter last started (SimNowMs), 0 before it ever did.
    int64_t ChatterStartedMs() const { return m_chatterStartedMs.load(); }

protected:
    std::vector<std::string> Answer(const std::string& line) override;
    void OnBytes(const char* data, size_t length) override;

private:
    struct ValueRow;
    static const ValueRow* Rows(size_t* count);
    static const ValueRow* FindRow(const std::vector<std::string>& words);
    std::vector<std::string> RespondValue(const ValueRow& row, const std::vector<std::string>& words,
                                          bool forceSet);
    std::vector<std::string> RespondVideo(const std::vector<std::string>& words);
    std::vector<std::string> RespondEdidBytes(const std::vector<std::string>& words);
    std::vector<std::string> DescribeState();
    void SendLoaderReply(const SimFlashReply& reply);
    std::string ControlLoader(const std::vector<std::string>& words);
    void ChatterLoop(int gapMs);
    std::string ControlChatter(const std::vector<std::string>& words);

    mutable std::mutex m_stateMutex;
    McuSimState m_state;
    bool m_echoIdentity = false;
    SimFlashLoader m_loader;
    std::mutex m_chatterMutex;
    std::condition_variable m_chatterWake;
    bool m_chatterStop = false;
    std::thread m_chatter;
    std::atomic<uint64_t> m_chatterBytes{0};
    std::atomic<int64_t> m_chatterStartedMs{0};
};

#endif
