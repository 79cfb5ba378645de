#include "QuorVelmarDevSearchList.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "LightLog.h"
#include "QuorVelmarHttpConn.h"
#include "QuorVelmarModulInfoList.h"

CQuorVelmarDevSearchList g_DevSearchQueryInfoList;

namespace {

const char kSrc[] = "src/QuorVelmarMongooseTask";

// The item names by identifier - 1, in the order they are written.
const char* const kInfoNames[] = {"alias", "ip_addr", "sequence_number", "looplink_sign",
                                  "group_sign", "showme_sign", "vi_select", "dev_type"};
const size_t kInfoCount = sizeof(kInfoNames) / sizeof(kInfoNames[0]);

// Writes one device object (without a separator after it); false when an
// unknown item ended the list.
bool AppendDevice(const T_QuorDeviceSearchQueryRsp& answer, std::string* out)
{
    const T_QuorDeviceInfoAnnex* items[kInfoCount] = {nullptr};
    const size_t total = std::min<size_t>(answer.u8DeviceInfoTotal, QUOR_MSG_MAX_ANNEX);
    bool known = true;
    for (size_t i = 0; i < total && known; ++i) {
        const T_QuorDeviceInfoAnnex& item = answer.tAnnexCode[i];
        known = item.u16InfoID >= 1 && item.u16InfoID <= kInfoCount;
        if (!known)
            LightLogExt(40000, 0, kSrc, __LINE__, "######InfoID <%d> is Error,No this Type.", (int)item.u16InfoID);
        else if (items[item.u16InfoID - 1] == nullptr)
            items[item.u16InfoID - 1] = &item;
    }
    *out += "{";
    const char* separator = "";
    for (size_t id = 0; id < kInfoCount; ++id) {
        if (items[id] == nullptr)
            continue;
        char text[QUOR_MSG_TEXT_SIZE];
        QuorCopyField(text, items[id]->cInfoCode);
        *out += separator;
        *out += QuorJsonFormat("\"%s\":\"%s\"", {kInfoNames[id], text});
        separator = ",";
    }
    *out += "}";
    return known;
}

} // namespace

int CQuorVelmarDevSearchList::Append(const T_QuorDeviceSearchQueryRsp& answer)
{
    OSMutexLocker locker(&m_mutex);
    if (m_answers.size() >= kMaxEntries)
        return -2;
    try {
        m_answers.push_back(answer);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

void CQuorVelmarDevSearchList::Clear()
{
    std::list<T_QuorDeviceSearchQueryRsp> gone;  // freed once the lock is let go
    OSMutexLocker locker(&m_mutex);
    gone.swap(m_answers);
}

size_t CQuorVelmarDevSearchList::Size() const
{
    OSMutexLocker locker(&m_mutex);
    return m_answers.size();
}

void CQuorVelmarDevSearchList::ForEach(const std::function<void(const T_QuorDeviceSearchQueryRsp&)>& visit) const
{
    OSMutexLocker locker(&m_mutex);
    for (const T_QuorDeviceSearchQueryRsp& answer : m_answers)
        visit(answer);
}

size_t CQuorVelmarDevSearchList::AppendDeviceObjects(std::string* out) const
{
    OSMutexLocker locker(&m_mutex);
    const int size = (int)m_answers.size();
    LightLogExt(10000, 0, kSrc, __LINE__, "u32Listsize is <%d>", size);
    size_t num = 0;
    for (const T_QuorDeviceSearchQueryRsp& answer : m_answers) {
        if (num > 0)
            *out += ",\r\n";
        ++num;
        LightLogExt(10000, 0, kSrc, __LINE__, "u32Listsize is <%d>, u32Num is <%d>", size, (int)num);
        if (!AppendDevice(answer, out))
            break;
    }
    if (num > 0)
        *out += "\r\n";
    return num;
}

std::string QuorDeviceListJson(const char* ownMaxSeqNum, const CQuorVelmarDevSearchList& list)
{
    char number[16] = "null";
    size_t length = ownMaxSeqNum != nullptr ? strlen(ownMaxSeqNum) : 0;
    if (length > 0 && length <= 9 && strspn(ownMaxSeqNum, "0123456789") == length)
        snprintf(number, sizeof(number), "%lu", strtoul(ownMaxSeqNum, nullptr, 10));
    std::string text = std::string("{\r\n\"devicemaxseqnum\": ") + number + ",\r\n\"deviceinfo\":[\r\n";
    list.AppendDeviceObjects(&text);
    text += "]}";
    return text;
}
