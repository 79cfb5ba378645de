#include "McuSimulator.h"

#include "SimText.h"

// How a value of the MCU is addressed after its keyword.
enum class PortRule {
    None,  // KEYWORD value
    Any,   // KEYWORD port value: one value whatever the port (default port when a GET omits it)
    Fixed, // KEYWORD port value: one value per port; the port must match
};

struct McuSimulator::ValueRow {
    const char* keyword;       // as the daemon sends it after GET or SET
    const char* answerKeyword; // as the MCU answers
    PortRule rule;
    const char* port;          // default (Any) or required (Fixed) port
    std::string McuSimState::*field;
    bool settable;             // SET changes it (else only GET answers it)
    bool identity;             // one of the identity lines: answered only on request
};

std::string McuSimState::DefaultEdid()
{
    static const unsigned char kBlock[] = {
        0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, // header
        0x59, 0x8D, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, // maker "VLM", product 1, serial 1
        0x01, 0x1E, 0x01, 0x03,                         // week 1 of 2020, EDID 1.3
        0x80, 0x3C, 0x22, 0x78, 0x0A,                   // digital input, 60x34 cm, gamma 2.2
        0xEE, 0x91, 0xA3, 0x54, 0x4C, 0x99, 0x26, 0x0F, 0x50, 0x54, // colour points
        0x21, 0x08, 0x00,                               // established timings
        0xD1, 0xC0, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, // standard timings: 1920x1080@60
        0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
        // detailed timing: 1920x1080 at 60 Hz, 148.5 MHz
        0x02, 0x3A, 0x80, 0x18, 0x71, 0x38, 0x2D, 0x40, 0x58, 0x2C,
        0x45, 0x00, 0x56, 0x50, 0x21, 0x00, 0x00, 0x1E,
        // display name "VELMAR SIM"
        0x00, 0x00, 0x00, 0xFC, 0x00, 'V', 'E', 'L', 'M', 'A', 'R', ' ', 'S', 'I', 'M',
        0x0A, 0x20, 0x20,
    };
    std::string edid(reinterpret_cast<const char*>(kBlock), sizeof kBlock);
    edid.resize(127, '\0');
    unsigned sum = 0;
    for (unsigned char c : edid)
        sum += c;
    edid += static_cast<char>((256 - sum % 256) % 256);
    return edid;
}

McuSimulator::McuSimulator() : SimEndpoint("mcu") {}

McuSimulator::~McuSimulator()
{
    StopChatter();
    Stop();
}

void McuSimulator::StartChatter(int gapMs)
{
    std::lock_guard<std::mutex> lock(m_chatterMutex);
    if (m_chatter.joinable())
        return;
    m_chatterStop = false;
    m_chatterStartedMs = SimNowMs();
    TrafficLog().Note("chatter starts, a byte every " + std::to_string(gapMs) + " ms");
    m_chatter = std::thread(&McuSimulator::ChatterLoop, this, gapMs < 1 ? 1 : gapMs);
}

void McuSimulator::StopChatter()
{
    std::thread chatter;
    {
        std::lock_guard<std::mutex> lock(m_chatterMutex);
        m_chatterStop = true;
        chatter.swap(m_chatter);
    }
    m_chatterWake.notify_all();
    if (chatter.joinable()) {
        chatter.join();
        TrafficLog().Note("chatter stops after " + std::to_string(m_chatterBytes.load()) + " bytes");
    }
}

void McuSimulator::ChatterLoop(int gapMs)
{
    std::unique_lock<std::mutex> lock(m_chatterMutex);
    while (!m_chatterWake.wait_for(lock, std::chrono::milliseconds(gapMs), [this] { return m_chatterStop; })) {
        lock.unlock();
        Send("U");
        ++m_chatterBytes;
        lock.lock();
    }
}

McuSimState McuSimulator::State() const
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_state;
}

void McuSimulator::UpdateState(const std::function<void(McuSimState&)>& change)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    change(m_state);
}

void McuSimulator::SetEchoIdentity(bool echo)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_echoIdentity = echo;
}

std::vector<std::string> McuSimulator::Answer(const std::string& line)
{
    if (SimEqualsNoCase(SimTrim(line), "UPG")) {
        SendLoaderReply(m_loader.Enter(SimNowMs()));
        return {};
    }
    return Respond(line, false);
}

void McuSimulator::OnBytes(const char* data, size_t length)
{
    int64_t now = SimNowMs();
    if (!m_loader.Active(now)) {
        SimEndpoint::OnBytes(data, length);
        return;
    }
    for (const SimFlashReply& reply : m_loader.Push(data, length, now))
        SendLoaderReply(reply);
    if (m_loader.TakeChatterStart())
        StartChatter(m_loader.Faults().chatterGapMs);
}

void McuSimulator::SendLoaderReply(const SimFlashReply& reply)
{
    SendPieces(reply.pieces, reply.gapMs, reply.delayMs);
}

std::vector<std::string> McuSimulator::Respond(const std::string& line, bool forceSet)
{
    std::vector<std::string> words = SimSplitWords(line);
    if (words.empty())
        return {};
    std::string verb = SimToUpper(words[0]);
    if (verb == "RESET")
        return {"RESET"};
    if ((verb != "GET" && verb != "SET") || words.size() < 2)
        return {};
    std::string keyword = SimToUpper(words[1]);
    if (keyword == "MP" || keyword == "SW")
        return RespondVideo(words);
    if (keyword == "EDID_R")
        return verb == "GET" ? RespondEdidBytes(words) : std::vector<std::string>();
    // A query that names itself, for clients that must tell their answers
    // apart: "GET SEQ <token...>" -> "SEQ <token...>".
    if (keyword == "SEQ")
        return verb == "GET" && words.size() > 2 ? std::vector<std::string>{"SEQ " + SimJoinWords(words, 2)}
                                                 : std::vector<std::string>();
    const ValueRow* row = FindRow(words);
    if (row == nullptr)
        return {};
    return RespondValue(*row, words, forceSet);
}

const McuSimulator::ValueRow* McuSimulator::FindRow(const std::vector<std::string>& words)
{
    size_t count = 0;
    const ValueRow* rows = Rows(&count);
    for (size_t i = 0; i < count; ++i) {
        const ValueRow& row = rows[i];
        if (!SimEqualsNoCase(words[1], row.keyword))
            continue;
        if (row.rule != PortRule::Fixed || (words.size() > 2 && SimEqualsNoCase(words[2], row.port)))
            return &row;
    }
    return nullptr;
}

std::vector<std::string> McuSimulator::RespondValue(const ValueRow& row,
                                                    const std::vector<std::string>& words,
                                                    bool forceSet)
{
    std::string port;
    if (row.rule != PortRule::None)
        port = words.size() > 2 ? words[2] : row.port;
    size_t valueAt = row.rule == PortRule::None ? 2 : 3;
    bool set = SimEqualsNoCase(words[0], "SET");
    std::lock_guard<std::mutex> lock(m_stateMutex);
    if (set && !row.settable && !forceSet)
        return {};
    // A SET without a value reports the current one.
    if (set && words.size() > valueAt)
        m_state.*row.field = SimJoinWords(words, valueAt);
    if (row.identity && !m_echoIdentity)
        return {};
    std::string answer = row.answerKeyword;
    if (!port.empty())
        answer += " " + port;
    const std::string& value = m_state.*row.field;
    if (!value.empty())
        answer += " " + value;
    return {answer};
}

// "GET MP <output>" -> "MP <input> <output>"; "SET SW <input> <output>"
// selects the input and is answered with the same words.
std::vector<std::string> McuSimulator::RespondVideo(const std::vector<std::string>& words)
{
    std::string keyword = SimToUpper(words[1]);
    std::lock_guard<std::mutex> lock(m_stateMutex);
    std::string output = m_state.videoOutput;
    if (SimEqualsNoCase(words[0], "SET")) {
        if (words.size() > 2)
            m_state.videoInput = words[2];
        if (words.size() > 3)
            m_state.videoOutput = output = SimJoinWords(words, 3);
    } else if (words.size() > 2) {
        output = SimJoinWords(words, 2);
    }
    return {keyword + " " + m_state.videoInput + " " + output};
}

std::vector<std::string> McuSimulator::RespondEdidBytes(const std::vector<std::string>& words)
{
    std::string port = words.size() > 2 ? words[2] : "hdmi";
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return {"EDID_R " + port + " " + SimHexBytes(m_state.edid)};
}

std::vector<std::string> McuSimulator::DescribeState()
{
    std::vector<std::string> lines;
    size_t count = 0;
    const ValueRow* rows = Rows(&count);
    std::lock_guard<std::mutex> lock(m_stateMutex);
    for (size_t i = 0; i < count; ++i) {
        std::string line = rows[i].answerKeyword;
        if (rows[i].rule != PortRule::None)
            line += std::string(" ") + rows[i].port;
        lines.push_back(line + " " + m_state.*rows[i].field);
    }
    lines.push_back("MP " + m_state.videoInput + " " + m_state.videoOutput);
    lines.push_back("EDID_R (" + std::to_string(m_state.edid.size()) + " bytes)");
    lines.push_back(std::string("echo-identity ") + (m_echoIdentity ? "on" : "off"));
    return lines;
}

std::vector<std::string> McuSimulator::ControlHelp() const
{
    std::vector<std::string> help = SimEndpoint::ControlHelp();
    help.push_back("!echo-identity on|off        answer the SDX identity lines");
    help.push_back("!set <KEYWORD> [port] <value> change a value without answering");
    help.push_back("!state                       log every value");
    help.push_back("!icp none|silent|wrong84|noack <k>|split <gap-ms>|pace <bit/s>  boot loader faults, pacing");
    help.push_back("!icp chatter 87|block|bank [gap-ms]|off  send a byte every gap-ms (5) after that step");
    return help;
}

std::string McuSimulator::Control(const std::string& command)
{
    std::vector<std::string> words = SimSplitWords(SimTrim(command));
    if (words.empty() || (words[0] != "!echo-identity" && words[0] != "!set" && words[0] != "!state" &&
                          words[0] != "!icp"))
        return SimEndpoint::Control(command);
    TrafficLog().Note("control " + SimTrim(command));
    if (words[0] == "!icp")
        return ControlLoader(words);
    if (words[0] == "!echo-identity") {
        if (words.size() != 2 || (!SimEqualsNoCase(words[1], "on") && !SimEqualsNoCase(words[1], "off")))
            return "!echo-identity wants on or off";
        SetEchoIdentity(SimEqualsNoCase(words[1], "on"));
        return std::string();
    }
    if (words[0] == "!set") {
        if (words.size() < 3)
            return "!set wants a keyword and a value";
        words[0] = "SET";
        std::string keyword = SimToUpper(words[1]);
        if (keyword != "MP" && keyword != "SW" && FindRow(words) == nullptr)
            return "!set: no value called " + words[1];
        Respond(SimJoinWords(words, 0), true);
        return std::string();
    }
    // !state
    for (const std::string& line : DescribeState())
        TrafficLog().Note(line);
    return std::string();
}

const McuSimulator::ValueRow* McuSimulator::Rows(size_t* count)
{
    using S = McuSimState;
    static const McuSimulator::ValueRow kRows[] = {
        {"ORDER", "ORDER", PortRule::None, "", &S::order, true, false},
        {"SUBGROUP", "SUBGROUP", PortRule::Any, "self", &S::subgroup, true, false},
        {"RING_MARKER", "RING_MARKER", PortRule::None, "", &S::ringMarker, true, false},
        {"SHOWME", "SHOWME", PortRule::None, "", &S::showMe, true, false},
        {"ALIAS", "ALIAS", PortRule::None, "", &S::alias, true, false},
        {"EDID", "EDID", PortRule::Any, "all", &S::edidSetting, true, false},
        {"HDCPSUPPORT_ONOFF", "HDCPSUPPORT_ONOFF", PortRule::Fixed, "hdmi", &S::hdcpHdmi, true, false},
        {"HDCPSUPPORT_ONOFF", "HDCPSUPPORT_ONOFF", PortRule::Fixed, "dp", &S::hdcpDp, true, false},
        {"HDCP_IN", "HDCP_IN", PortRule::Any, "hdmi", &S::hdcpIn, false, false},
        {"HDCP_OUT", "HDCP_OUT", PortRule::Any, "hdmi", &S::hdcpOut, false, false},
        {"VER", "VER", PortRule::Any, "hdmi", &S::version, false, false},
        {"CECAUTO_ONOFF", "CECAUTO_ONOFF", PortRule::Any, "hdmi", &S::cecAuto, true, false},
        {"CECAUTO_DELAY", "CECAUTO_DELAY", PortRule::Any, "hdmi", &S::cecDelay, true, false},
        {"CECPWR_ONOFF", "CECPWR_ONOFF", PortRule::Any, "hdmi", &S::cecPower, true, false},
        {"LEDFLICKER", "LEDFLICKER", PortRule::None, "", &S::ledFlicker, true, false},
        {"AUTOSW_ONOFF", "AUTOSW_ONOFF", PortRule::None, "", &S::autoSw, true, false},
        {"UARTAUTO_ONOFF", "uartauto_onoff", PortRule::Any, "hdmi", &S::uartAuto, true, false},
        {"UARTPWR_DELAY", "uartpwr_delay", PortRule::Any, "hdmi", &S::uartPowerDelay, true, false},
        {"SDXBIP", "SDXBIP", PortRule::None, "", &S::ip, true, true},
        {"SDXMASK", "SDXMASK", PortRule::None, "", &S::netmask, true, true},
        {"SDXGATEWAY", "SDXGATEWAY", PortRule::None, "", &S::gateway, true, true},
        {"SDXMACADDR", "SDXMACADDR", PortRule::None, "", &S::macTail, true, true},
    };
    *count = sizeof kRows / sizeof kRows[0];
    return kRows;
}

// "!icp <switch> [value]": the boot loader's fault switches and line pacing.
std::string McuSimulator::ControlLoader(const std::vector<std::string>& words)
{
    int value = 0;
    bool hasValue = words.size() == 3 && SimParseCount(words[2], &value);
    std::string what = words.size() >= 2 ? words[1] : std::string();
    SimFlashFaults faults = m_loader.Faults();
    if (what == "chatter")
        return ControlChatter(words);
    if (what == "none" && words.size() == 2) {
        faults = SimFlashFaults();
        StopChatter();
    } else if (what == "silent" && words.size() == 2)
        faults.silent = true;
    else if (what == "wrong84" && words.size() == 2)
        faults.wrongAddrAnswer = true;
    else if (what == "noack" && hasValue)
        faults.noAckBlock = value;
    else if (what == "split" && hasValue)
        faults.splitGapMs = value;
    else if (what == "pace" && hasValue)
        m_loader.SetLineSpeed(value);
    else
        return "!icp wants none, silent, wrong84, noack <k>, split <gap-ms>, pace <bit/s> or chatter ...";
    m_loader.SetFaults(faults);
    return std::string();
}

// "!icp chatter 87|block|bank [gap-ms]" arms the chatter; "off" stops it.
std::string McuSimulator::ControlChatter(const std::vector<std::string>& words)
{
    static const struct {
        const char* word;
        SimFlashFaults::Chatter moment;
    } kMoments[] = {{"off", SimFlashFaults::kNoChatter},
                    {"87", SimFlashFaults::kAfter87},
                    {"block", SimFlashFaults::kAfterBlock},
                    {"bank", SimFlashFaults::kAfterBankSwitch}};
    int gapMs = 5;
    if (words.size() < 3 || words.size() > 4 || (words.size() == 4 && !SimParseCount(words[3], &gapMs)))
        return "!icp chatter wants 87, block, bank or off, then the gap in ms";
    for (const auto& row : kMoments) {
        if (words[2] != row.word)
            continue;
        SimFlashFaults faults = m_loader.Faults();
        faults.chatterAfter = row.moment;
        faults.chatterGapMs = gapMs;
        m_loader.SetFaults(faults);
        if (row.moment == SimFlashFaults::kNoChatter)
            StopChatter();
        return std::string();
    }
    return "!icp chatter wants 87, block, bank or off";
}
