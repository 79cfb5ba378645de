// The module information record: the daemon's picture of the MCU and of the
// module's own network identity, and the list that holds it.
//
// The start flow appends the module's own record once; nothing removes it.
// Readers and writers act on every record whose module name begins with
// "QuorVelmar" (ignoring case). The list is shared by the management task,
// the web task, the TCP command set and the MCU upgrade task, so every access
// goes through the list's lock: fields are copied in and out under it, and
// every copy into a field is cut to the field's width (terminator included).
#ifndef QUOR_VELMAR_MODULINFOLIST_H
#define QUOR_VELMAR_MODULINFOLIST_H

#include <cstddef>
#include <cstring>
#include <functional>
#include <list>

#include "OSMutex.h"

// Widths of the record's text fields, terminator included.
enum : size_t {
    QUOR_MODUL_FIELD_SIZE = 32,
    QUOR_MODUL_NAME_SIZE = 128,
    QUOR_MODUL_LONG_FIELD_SIZE = 512
};

// The name that marks the module's own record.
#define QUOR_MODUL_NAME "QuorVelmar"

struct T_QuorModulInfo {
    // Every field empty, except SequenceNumber, Updatestatus_MCU and
    // Updatestatus_ARM, which hold "0".
    T_QuorModulInfo();

    char cModulName[QUOR_MODUL_NAME_SIZE];           // "QuorVelmar"
    char SqncMaxNum[QUOR_MODUL_FIELD_SIZE];          // group sequence maximum
    char SequenceNumber[QUOR_MODUL_FIELD_SIZE];      // ORDER answer
    char cAlias[QUOR_MODUL_NAME_SIZE];               // device alias
    char Ip[QUOR_MODUL_FIELD_SIZE];                  // dotted address of eth0
    char IpMod[QUOR_MODUL_FIELD_SIZE];               // "static" or "dhcp"
    char Netmask[QUOR_MODUL_FIELD_SIZE];
    char Gateway[QUOR_MODUL_FIELD_SIZE];
    char cLoopLink[QUOR_MODUL_FIELD_SIZE];           // RING_MARKER answer
    char Group[QUOR_MODUL_FIELD_SIZE];               // SUBGROUP answer
    char cShowMe[QUOR_MODUL_FIELD_SIZE];             // SHOWME answer
    char cViSelect[QUOR_MODUL_FIELD_SIZE];           // selected video input (MP, SW)
    char cDevType[QUOR_MODUL_FIELD_SIZE];            // "TX"
    char HdcpHDMISuppert[QUOR_MODUL_FIELD_SIZE];     // "1" or "0"
    char HdcpDPSuppert[QUOR_MODUL_FIELD_SIZE];       // "1" or "0"
    char HdcpInStatus[QUOR_MODUL_FIELD_SIZE];
    char HdcpOutStatus[QUOR_MODUL_FIELD_SIZE];
    char CECSuppert[QUOR_MODUL_FIELD_SIZE];          // "1" or "0"
    char CECDelay[QUOR_MODUL_FIELD_SIZE];
    char McuVersion[QUOR_MODUL_FIELD_SIZE];
    char Updatestatus_MCU[QUOR_MODUL_FIELD_SIZE];    // "1" upgrading, "0" done, "99" timed out
    char Updatestatus_ARM[QUOR_MODUL_FIELD_SIZE];
    char EDIDQueyReq[QUOR_MODUL_LONG_FIELD_SIZE];    // EDID answer
    char AutoSW[QUOR_MODUL_LONG_FIELD_SIZE];         // AUTOSW_ONOFF answer
};

// Copies at most N - 1 characters of text (null: none) into field and
// terminates it; the rest of the field is zero-filled.
template <size_t N>
inline void QuorCopyField(char (&field)[N], const char* text)
{
    size_t length = text != nullptr ? strnlen(text, N - 1) : 0;
    memcpy(field, text != nullptr ? text : "", length);
    memset(field + length, 0, N - length);
}

// True when the module name marks the module's own record.
bool QuorIsOwnModulName(const char* name);

class CQuorVelmarModulInfoList {
public:
    // Appends a copy of the record.
    void Append(const T_QuorModulInfo& record);
    // Copies the first own record into *out; false when there is none.
    bool CopyOwn(T_QuorModulInfo* out) const;
    // Runs change on every own record under the lock (change must not block
    // or call back into the list). Returns the number of records changed.
    size_t UpdateOwn(const std::function<void(T_QuorModulInfo&)>& change);

    // Sets one field of every own record to text (cut to the field's width).
    // Returns the number of records changed.
    template <size_t N>
    size_t SetOwnField(char (T_QuorModulInfo::*field)[N], const char* text)
    {
        return UpdateOwn([&](T_QuorModulInfo& record) { QuorCopyField(record.*field, text); });
    }
    // Copies one field of the first own record into out (outSize bytes,
    // always terminated when outSize > 0). False when there is no own record
    // (out is then empty).
    template <size_t N>
    bool GetOwnField(char (T_QuorModulInfo::*field)[N], char* out, size_t outSize) const
    {
        return CopyOwnText(
            [field](const T_QuorModulInfo& record) -> const char* { return record.*field; }, N, out,
            outSize);
    }
    template <size_t N, size_t M>
    bool GetOwnField(char (T_QuorModulInfo::*field)[N], char (&out)[M]) const
    {
        return GetOwnField(field, out, M);
    }

    size_t Size() const;
    // Removes every record (tests).
    void Clear();

private:
    bool CopyOwnText(const std::function<const char*(const T_QuorModulInfo&)>& pick, size_t fieldSize,
                     char* out, size_t outSize) const;

    mutable OSMutex m_mutex;
    std::list<T_QuorModulInfo> m_records;
};

extern CQuorVelmarModulInfoList g_ModulInfolist;

#endif
