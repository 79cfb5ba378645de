// The module information record and its list: see QuorVelmarModulInfoList.h.
#include "QuorVelmarModulInfoList.h"

#include <strings.h>

CQuorVelmarModulInfoList g_ModulInfolist;

T_QuorModulInfo::T_QuorModulInfo()
{
    memset(this, 0, sizeof(*this));
    QuorCopyField(SequenceNumber, "0");
    QuorCopyField(Updatestatus_MCU, "0");
    QuorCopyField(Updatestatus_ARM, "0");
}

bool QuorIsOwnModulName(const char* name)
{
    const size_t length = sizeof(QUOR_MODUL_NAME) - 1;
    return name != nullptr && strncasecmp(name, QUOR_MODUL_NAME, length) == 0;
}

void CQuorVelmarModulInfoList::Append(const T_QuorModulInfo& record)
{
    OSMutexLocker locker(&m_mutex);
    m_records.push_back(record);
    // The name must stay a C string, whatever the caller left in it.
    m_records.back().cModulName[QUOR_MODUL_NAME_SIZE - 1] = '\0';
}

bool CQuorVelmarModulInfoList::CopyOwn(T_QuorModulInfo* out) const
{
    OSMutexLocker locker(&m_mutex);
    for (const T_QuorModulInfo& record : m_records) {
        if (QuorIsOwnModulName(record.cModulName)) {
            if (out != nullptr)
                *out = record;
            return true;
        }
    }
    return false;
}

size_t CQuorVelmarModulInfoList::UpdateOwn(const std::function<void(T_QuorModulInfo&)>& change)
{
    OSMutexLocker locker(&m_mutex);
    size_t changed = 0;
    for (T_QuorModulInfo& record : m_records) {
        if (QuorIsOwnModulName(record.cModulName)) {
            change(record);
            ++changed;
        }
    }
    return changed;
}

bool CQuorVelmarModulInfoList::CopyOwnText(const std::function<const char*(const T_QuorModulInfo&)>& pick,
                                           size_t fieldSize, char* out, size_t outSize) const
{
    if (out == nullptr || outSize == 0)
        return false;
    out[0] = '\0';
    OSMutexLocker locker(&m_mutex);
    for (const T_QuorModulInfo& record : m_records) {
        if (QuorIsOwnModulName(record.cModulName)) {
            const char* text = pick(record);
            size_t length = strnlen(text, fieldSize);
            if (length > outSize - 1)
                length = outSize - 1;
            memcpy(out, text, length);
            out[length] = '\0';
            return true;
        }
    }
    return false;
}

size_t CQuorVelmarModulInfoList::Size() const
{
    OSMutexLocker locker(&m_mutex);
    return m_records.size();
}

void CQuorVelmarModulInfoList::Clear()
{
    OSMutexLocker locker(&m_mutex);
    m_records.clear();
}
