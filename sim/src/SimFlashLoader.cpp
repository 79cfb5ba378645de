#include "SimFlashLoader.h"

#include <algorithm>

namespace {

constexpr size_t kMaxBlocks = 4096;
constexpr unsigned char kAck = 0x5A;

std::string Bytes(std::initializer_list<unsigned char> bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

SimFlashReply SimFlashLoader::Enter(int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_active = true;
    m_lastByteMs = nowMs;
    m_lineFreeUs = nowMs * 1000;
    ++m_entries;
    m_argsDue = 0;
    m_inBlock = false;
    m_blockIndex = 0;
    m_bank = 0;
    SimFlashReply reply;
    if (m_faults.silent)
        return reply;
    if (m_faults.echoUpg) {
        reply.pieces = {"UPG", ">"};
        reply.gapMs = kPromptDelayMs;
    } else {
        reply.pieces = {">"};
        reply.delayMs = kPromptDelayMs;
    }
    return reply;
}

bool SimFlashLoader::Active(int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_active && nowMs - m_lastByteMs >= kIdleLeaveMs)
        m_active = false;
    return m_active;
}

std::vector<SimFlashReply> SimFlashLoader::Push(const char* data, size_t length, int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> answers;
    for (size_t i = 0; i < length && m_active; ++i)
        HandleByte(static_cast<unsigned char>(data[i]), &answers);
    m_lastByteMs = nowMs;
    int64_t delayMs = 0;
    if (m_lineSpeed > 0) {
        m_lineFreeUs = std::max(m_lineFreeUs, nowMs * 1000) +
                       static_cast<int64_t>(length) * 10 * 1000000 / m_lineSpeed;
        delayMs = std::max<int64_t>(0, (m_lineFreeUs - nowMs * 1000 + 999) / 1000);
    }
    std::vector<SimFlashReply> replies;
    if (m_faults.silent)
        return replies;
    for (const std::string& answer : answers)
        replies.push_back(MakeReply(answer, static_cast<int>(delayMs)));
    return replies;
}

void SimFlashLoader::HandleByte(unsigned char byte, std::vector<std::string>* answers)
{
    if (m_inBlock) {
        m_block += static_cast<char>(byte);
        if (m_block.size() == kBlockSize)
            HandleBlockDone(answers);
        return;
    }
    if (m_argsDue > 0) {
        m_args += static_cast<char>(byte);
        if (--m_argsDue > 0)
            return;
        unsigned value = static_cast<unsigned char>(m_args[0]);
        if (m_command == 0x83) {
            if (value > m_bank)
                ChatterMoment(SimFlashFaults::kAfterBankSwitch);
            m_bank = value;
            answers->push_back(Bytes({0x83, static_cast<unsigned char>(value)}));
        } else {
            m_page = value;
            unsigned char first = m_faults.wrongAddrAnswer ? 0x00 : 0x84;
            answers->push_back(Bytes({first, static_cast<unsigned char>(value)}));
        }
        return;
    }
    switch (byte) {
    case 0x87:
        answers->push_back("\x87TRM40");
        ChatterMoment(SimFlashFaults::kAfter87);
        break;
    case 0x83:
    case 0x84:
        m_command = byte;
        m_args.clear();
        m_argsDue = byte == 0x83 ? 1 : 2;
        break;
    case 0x86:
        answers->push_back(Bytes({0x86}));
        m_inBlock = true;
        m_block.clear();
        break;
    case 0x85:
        if (m_faults.answer85)
            answers->push_back(Bytes({0x85}));
        if (m_bank == kLastBank && m_page == kLastPage)
            m_active = false;  // the last block of the last bank is complete
        break;
    default:
        break;  // 0x81, a repeated "UPG" and anything unknown: no answer
    }
}

void SimFlashLoader::HandleBlockDone(std::vector<std::string>* answers)
{
    m_inBlock = false;
    SimFlashBlock block;
    block.bank = m_bank;
    block.page = m_page;
    block.bytes = m_block;
    m_blocks.push_back(std::move(block));
    if (m_blocks.size() > kMaxBlocks)
        m_blocks.erase(m_blocks.begin());
    if (m_blockIndex == 0)
        ChatterMoment(SimFlashFaults::kAfterBlock);
    bool ack = m_blockIndex++ != m_faults.noAckBlock;
    answers->push_back(ack ? Bytes({0x00, kAck}) : Bytes({0x00}));
}

SimFlashReply SimFlashLoader::MakeReply(const std::string& answer, int delayMs) const
{
    SimFlashReply reply;
    reply.delayMs = delayMs;
    if (m_faults.splitGapMs > 0 && answer.size() >= 2) {
        reply.pieces = {answer.substr(0, 1), answer.substr(1)};
        reply.gapMs = m_faults.splitGapMs;
    } else {
        reply.pieces = {answer};
    }
    return reply;
}

void SimFlashLoader::SetFaults(const SimFlashFaults& faults)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults = faults;
}

SimFlashFaults SimFlashLoader::Faults() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_faults;
}

void SimFlashLoader::SetLineSpeed(int bitsPerSecond)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lineSpeed = std::max(0, bitsPerSecond);
}

std::vector<SimFlashBlock> SimFlashLoader::Blocks() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_blocks;
}

int SimFlashLoader::Entries() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries;
}

void SimFlashLoader::ClearRecords()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_blocks.clear();
    m_entries = 0;
}

void SimFlashLoader::ChatterMoment(SimFlashFaults::Chatter moment)
{
    if (m_faults.chatterAfter == moment)
        m_chatterDue = true;
}

bool SimFlashLoader::TakeChatterStart()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    bool due = m_chatterDue;
    m_chatterDue = false;
    return due;
}
