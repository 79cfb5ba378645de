// Counters for monitoring: see QuorVelmarMetrics.h.
#include "QuorVelmarMetrics.h"

#include <civetweb.h>
#include <strings.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "QuorUpgradeMsgDef.h"
#include "QuorVelmarDevSearchList.h"
#include "QuorVelmarModulInfoList.h"
#include "QuorVelmarMsgDef.h"
#include "QuorVelmarUartTask.h"

namespace {

typedef std::chrono::steady_clock Clock;

std::atomic<uint64_t> s_counters[CQuorVelmarMetrics::kCounterCount];

struct T_GroupKind {
    uint32_t commandId;
    const char* name;
};

// The kinds of group messages, "other" last.
const T_GroupKind kGroupKinds[] = {
    {QUOR_MSG_DEVICE_SEARCH_QUERY_REQ, "search_query"},
    {QUOR_MSG_DEVICE_SEARCH_QUERY_RSP, "search_answer"},
    {QUOR_MSG_MAX_SEQ_NUM_NOTIFY_REQ, "max_seq_num_notice"},
    {QUOR_MSG_MAX_SEQ_NUM_NOTIFY_RSP, "max_seq_num_answer"},
    {QUOR_MSG_USER_INFO_CHANGE_NOTIFY_REQ, "user_info_notice"},
    {QUOR_MSG_USER_INFO_CHANGE_NOTIFY_RSP, "user_info_answer"},
    {QUOR_MSG_GROUP_SIGN_NOTIFY_REQ, "group_sign_notice"},
    {QUOR_MSG_GROUP_SIGN_NOTIFY_RSP, "group_sign_answer"},
    {QUOR_MSG_VERSION_UPGRADE_REQ, "upgrade_request"},
    {QUOR_MSG_VERSION_UPGRADE_RSP, "upgrade_answer"},
    {0, "other"},
};
const size_t kGroupKindCount = sizeof(kGroupKinds) / sizeof(kGroupKinds[0]);

std::atomic<uint64_t> s_groupIn[kGroupKindCount];
std::atomic<uint64_t> s_groupOut[kGroupKindCount];

// Microseconds of the steady clock; 0 stands for "never".
std::atomic<int64_t> s_searchSentUs{0};
std::atomic<int64_t> s_lastAnswerUs{0};

int64_t NowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

size_t GroupKindIndex(uint32_t commandId)
{
    for (size_t i = 0; i + 1 < kGroupKindCount; ++i) {
        if (kGroupKinds[i].commandId == commandId)
            return i;
    }
    return kGroupKindCount - 1;
}

// ---- The page -------------------------------------------------------------------

class CPage {
public:
    void Family(const char* name, const char* type, const char* help)
    {
        Line("# HELP %s %s", name, help);
        Line("# TYPE %s %s", name, type);
    }
    void Sample(const char* name, const std::string& labels, double value)
    {
        char number[64];
        if (std::isnan(value))
            snprintf(number, sizeof(number), "NaN");
        else if (value == std::floor(value) && std::fabs(value) < 1e15)
            snprintf(number, sizeof(number), "%.0f", value);
        else
            snprintf(number, sizeof(number), "%.6f", value);
        if (labels.empty())
            Line("%s %s", name, number);
        else
            Line("%s{%s} %s", name, labels.c_str(), number);
    }
    void Single(const char* name, const char* type, const char* help, double value)
    {
        Family(name, type, help);
        Sample(name, std::string(), value);
    }
    const std::string& Text() const { return m_text; }

private:
    template <class... Args>
    void Line(const char* format, Args... args)
    {
        char line[512];
        int n = snprintf(line, sizeof(line), format, args...);
        if (n < 0)
            return;
        m_text.append(line, (size_t)n < sizeof(line) ? (size_t)n : sizeof(line) - 1);
        m_text += '\n';
    }

    std::string m_text;
};

double CounterValue(CQuorVelmarMetrics::Counter counter)
{
    return (double)CQuorVelmarMetrics::Get(counter);
}

struct T_CounterFamily {
    const char* name;
    const char* help;
    CQuorVelmarMetrics::Counter counter;
};

// The plain counters, in page order.
const T_CounterFamily kCounterFamilies[] = {
    {"velmard_mcu_lines_in_total", "Lines taken from the MCU serial line.", CQuorVelmarMetrics::kMcuLinesIn},
    {"velmard_mcu_lines_out_total", "Writes to the MCU serial line that went out.", CQuorVelmarMetrics::kMcuLinesOut},
    {"velmard_mcu_writes_failed_total", "Writes to the MCU serial line that failed.",
     CQuorVelmarMetrics::kMcuWritesFailed},
    {"velmard_mcu_lines_dropped_total", "MCU lines dropped because the management task was behind.",
     CQuorVelmarMetrics::kSerialLinesDropped},
    {"velmard_tcp_lines_in_total", "Lines taken from command-port sessions.", CQuorVelmarMetrics::kTcpLinesIn},
    {"velmard_tcp_sessions_opened_total", "Command-port sessions accepted.", CQuorVelmarMetrics::kTcpSessionsOpened},
    {"velmard_tcp_sessions_refused_total", "Command-port connections refused for want of a session.",
     CQuorVelmarMetrics::kTcpSessionsRefused},
    {"velmard_group_messages_invalid_total", "Group messages that did not translate.",
     CQuorVelmarMetrics::kGroupInInvalid},
    {"velmard_group_messages_send_failed_total", "Group messages that could not be packed or sent.",
     CQuorVelmarMetrics::kGroupOutFailed},
};

void RenderCounters(CPage& page)
{
    CQuorVelmarUartTask* line = g_pVelmarUartTask;
    page.Single("velmard_mcu_line_up", "gauge",
                "1 while the MCU serial line is open (0 while it is closed or lent to an MCU upgrade).",
                line != nullptr && line->IsUartOpen() ? 1 : 0);
    for (const T_CounterFamily& family : kCounterFamilies)
        page.Single(family.name, "counter", family.help, CounterValue(family.counter));
    double opened = CounterValue(CQuorVelmarMetrics::kTcpSessionsOpened);
    double closed = CounterValue(CQuorVelmarMetrics::kTcpSessionsClosed);
    page.Single("velmard_tcp_sessions", "gauge", "Command-port sessions open now.",
                opened > closed ? opened - closed : 0);
}

void RenderGroupKinds(CPage& page, const char* name, const char* help, const std::atomic<uint64_t>* counts)
{
    page.Family(name, "counter", help);
    for (size_t i = 0; i < kGroupKindCount; ++i)
        page.Sample(name, std::string("kind=\"") + kGroupKinds[i].name + "\"", (double)counts[i].load());
}

void RenderGroup(CPage& page)
{
    RenderGroupKinds(page, "velmard_group_messages_in_total", "Group messages taken in, by kind.", s_groupIn);
    RenderGroupKinds(page, "velmard_group_messages_out_total", "Group messages sent, by kind.", s_groupOut);
    page.Single("velmard_search_answers", "gauge", "Answers to the last group search in the device list.",
                (double)g_DevSearchQueryInfoList.Size());
    int64_t sent = s_searchSentUs.load();
    int64_t last = s_lastAnswerUs.load();
    page.Single("velmard_search_last_answer_seconds", "gauge",
                "Time from the last group search to the latest answer taken into the device list.",
                sent != 0 && last >= sent ? (double)(last - sent) / 1e6 : NAN);
}

void RenderUpgrade(CPage& page)
{
    T_QuorModulInfo own;
    bool haveOwn = g_ModulInfolist.CopyOwn(&own);
    page.Family("velmard_upgrade_status", "gauge",
                "Update status of the module record by software (the status text as a label).");
    const struct {
        const char* software;
        const char* status;
    } kinds[] = {{"MCU", haveOwn ? own.Updatestatus_MCU : ""}, {"ARM", haveOwn ? own.Updatestatus_ARM : ""}};
    for (const auto& kind : kinds) {
        std::string labels = std::string("software=\"") + kind.software + "\",status=\"" +
                             CQuorVelmarMetrics::LabelValue(kind.status, QUOR_MODUL_FIELD_SIZE) + "\"";
        page.Sample("velmard_upgrade_status", labels, 1);
    }
}

const Clock::time_point s_started = Clock::now();

} // namespace

void CQuorVelmarMetrics::Add(Counter counter, uint64_t by)
{
    if (counter < kCounterCount)
        s_counters[counter].fetch_add(by, std::memory_order_relaxed);
}

uint64_t CQuorVelmarMetrics::Get(Counter counter)
{
    return counter < kCounterCount ? s_counters[counter].load(std::memory_order_relaxed) : 0;
}

void CQuorVelmarMetrics::CountGroupIn(uint32_t commandId)
{
    s_groupIn[GroupKindIndex(commandId)].fetch_add(1, std::memory_order_relaxed);
}

void CQuorVelmarMetrics::CountGroupOut(uint32_t commandId)
{
    s_groupOut[GroupKindIndex(commandId)].fetch_add(1, std::memory_order_relaxed);
}

uint64_t CQuorVelmarMetrics::GetGroupIn(uint32_t commandId)
{
    return s_groupIn[GroupKindIndex(commandId)].load(std::memory_order_relaxed);
}

uint64_t CQuorVelmarMetrics::GetGroupOut(uint32_t commandId)
{
    return s_groupOut[GroupKindIndex(commandId)].load(std::memory_order_relaxed);
}

void CQuorVelmarMetrics::MarkSearchSent()
{
    s_lastAnswerUs.store(0);
    s_searchSentUs.store(NowUs());
}

void CQuorVelmarMetrics::MarkSearchAnswer()
{
    s_lastAnswerUs.store(NowUs());
}

std::string CQuorVelmarMetrics::LabelValue(const char* text, size_t maxLength)
{
    std::string value;
    size_t length = text != nullptr ? strnlen(text, maxLength) : 0;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = (unsigned char)text[i];
        if (c == '\\' || c == '"')
            value += '\\';
        if (c == '\n')
            value += "\\n";
        else
            value += c < 0x20 || c == 0x7f ? ' ' : (char)c;
    }
    return value;
}

std::string CQuorVelmarMetrics::Render(double uptimeSeconds)
{
    CPage page;
    page.Single("velmard_uptime_seconds", "gauge", "Seconds since the daemon started.", std::floor(uptimeSeconds));
    RenderCounters(page);
    RenderGroup(page);
    RenderUpgrade(page);
    return page.Text();
}

int CQuorVelmarMetrics::HandleRequest(mg_connection* conn)
{
    const mg_request_info* info = mg_get_request_info(conn);
    const char* method = info != nullptr && info->request_method != nullptr ? info->request_method : "";
    bool head = strcasecmp(method, "HEAD") == 0;
    if (!head && strcasecmp(method, "GET") != 0) {
        mg_printf(conn, "HTTP/1.1 405 Method Not Allowed\r\nAllow: GET, HEAD\r\nContent-Length: 0\r\n"
                        "Connection: close\r\n\r\n");
        return 405;
    }
    double uptime = std::chrono::duration<double>(Clock::now() - s_started).count();
    std::string body = Render(uptime);
    mg_printf(conn,
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
              "Cache-Control: no-store\r\nContent-Length: %zu\r\nConnection: close\r\n\r\n",
              body.size());
    if (!head)
        mg_write(conn, body.data(), body.size());
    return 200;
}
