// The configuration of velmard: the XML preferences file
// "/Velmar/etc/Velmar.xml" (resolved under the board root), read once at
// start into static members, and the setters that change a value in the file
// later.
//
// Locking: one recursive lock (PrefMutex) guards the parser's tree, every
// write of the file and the text members that change while the tasks run (the
// power-save texts and s_cQuor_MacAddr). Read those members with CopyText and
// change them with StoreText, or hold PrefMutex around the access. The numeric
// members are set by ReadPref before any task thread exists and only read
// afterwards.
//
// Stored values must stay readable at the next start: the setters refuse a
// value holding "<" or a NUL, or longer than kMaxStoredValue characters, and
// write the file atomically (a failed write keeps the old file, the tree is
// rolled back and -2 is returned).
#ifndef QUOR_VELMAR_PREF_H
#define QUOR_VELMAR_PREF_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "XMLPrefsParser.h"

class OSMutex;

class CQuorVelmarPref {
public:
    enum : size_t {
        kReadTextSize = 256,     // read buffer of text values: at most 255 characters
        kLongTextSize = 256,     // RS232PWROn, RS232PWROff
        kShortTextSize = 128,    // the other power-save texts, s_cQuor_MacAddr
        kMulAddrTextSize = 16,   // multicast group address: at most 15 characters
        kMaxStoredValue = 4095   // longest value the setters store
    };
    // A thread count of 0 (after narrowing to 16 bits) is replaced by the
    // default; one above the maximum is capped.
    enum : uint16_t { kDefaultThreadNum = 2, kMaxThreadNum = 64 };

    // Loads the board's preferences file: 0, or -1 when it cannot be read or
    // parsed or a required address is not a dotted IPv4 address. The members
    // first take their defaults (s_cQuor_MacAddr excepted).
    static int ReadPref();
    // The same for the file at path (used as given).
    static int ReadPref(const char* path);
    // Drops the parser and puts every member back to its default (tests).
    static void ResetToDefaults();

    // The "MODULE" section of that name, created in memory if absent; null
    // before ReadPref created the parser.
    static ContainerRef GetRefForModule(const char* moduleName);

    // Typed getters: 0 when the key exists with a value (*value set), -1 when
    // it does not (*value unchanged). Numbers follow strtoul with base 0
    // (decimal, "0x" hexadecimal, leading-zero octal) and are narrowed to
    // the target width (its low bits).
    template <class T>
    static int GetPrefNumberVal(ContainerRef section, const char* name, T* value)
    {
        uint64_t number = 0;
        if (value == nullptr || GetNumber(section, name, &number) != 0)
            return -1;
        *value = static_cast<T>(number);
        return 0;
    }
    static int GetPrefUInt32Val(ContainerRef section, const char* name, uint32_t* value)
    {
        return GetPrefNumberVal(section, name, value);
    }
    static int GetPrefUInt16Val(ContainerRef section, const char* name, uint16_t* value)
    {
        return GetPrefNumberVal(section, name, value);
    }
    static int GetPrefUInt8Val(ContainerRef section, const char* name, uint8_t* value)
    {
        return GetPrefNumberVal(section, name, value);
    }
    // "t"/"T..." gives 1, "f"/"F..." gives 0, anything else is a number.
    static int GetPrefBool16Val(ContainerRef section, const char* name, uint16_t* value);
    // Copies at most size - 1 characters of the value and terminates it.
    static int GetPrefStringVal(ContainerRef section, const char* name, char* value, size_t size);
    template <size_t N>
    static int GetPrefStringVal(ContainerRef section, const char* name, char (&value)[N])
    {
        return GetPrefStringVal(section, name, value, N);
    }
    // The whole value text: true when the key exists with a value.
    static bool GetPrefVal(ContainerRef section, const char* name, std::string& value);

    // Changes (or adds, with the given type) a preference of the section and
    // writes the file: 0, or -2 when an argument is missing, the value is
    // refused or the file could not be written (nothing changed then).
    // The forms with length take a value of exactly length bytes and refuse
    // it when it holds a NUL.
    static int SetPrefVal(ContainerRef section, const char* name, const char* type, const char* value);
    static int SetPrefVal(ContainerRef section, const char* name, const char* type, const char* value,
                          size_t length);
    // The same in the module "QuorPowerSave", then "sync".
    static int SetPWRSavePrefVal(const char* name, const char* type, const char* value);
    static int SetPWRSavePrefVal(const char* name, const char* type, const char* value, size_t length);
    // Writes the file: 0, or -2 (no parser, or the write failed).
    static int Write();

    // ---- The text members ------------------------------------------------

    static OSMutex& PrefMutex();
    // Copies the member into out (size bytes, terminated) under the lock;
    // returns the characters copied.
    static size_t CopyText(const char* member, char* out, size_t size);
    template <size_t N>
    static size_t CopyText(const char* member, char (&out)[N])
    {
        return CopyText(member, out, N);
    }
    // Replaces the member (memberSize bytes) with at most memberSize - 1
    // characters of text (null clears it) under the lock.
    static void StoreText(char* member, size_t memberSize, const char* text);
    template <size_t N>
    static void StoreText(char (&member)[N], const char* text)
    {
        StoreText(member, N, text);
    }

    // ---- Module "QuorVelmarCommon" ----
    static uint32_t s_u32Quor_Velmar_UdpInterAddr;      // network order
    static uint16_t s_u16Quor_Velmar_UdpInterPort;
    static char s_cQuor_Velmar_MulUdpRecvAddr[kMulAddrTextSize];
    static uint16_t s_u16Quor_Velmar_MulUdpRecvPort;
    static uint32_t s_u32Quor_Velmar_DHCPCheckTime;
    static uint32_t s_u32Quor_Velmar_TelnetInterAddr;   // network order
    static uint16_t s_u16Quor_Velmar_TelnetInterPort;
    static uint32_t s_u32Quor_Velmar_ClientMaxNum;
    // ---- Module "QuorVelmarNdk" ----
    static uint32_t s_u32Quor_VelmarNdk_UdpInterPort;
    // ---- Module "QuorVelmar" ----
    static uint16_t s_u16Quor_Velmar_RecvUdpThreadNum;
    static uint16_t s_u16Quor_Velmar_ManageTaskThreadNum;
    static int32_t s_s32Quor_Velmar_LogLevel_Out;
    static uint16_t s_u16Quor_Velmar_DevSearchQueryTimer;
    static uint16_t s_u16Quor_Velmar_MsgReTransmissionNum;
    static uint16_t s_u16Quor_ResetTimer;
    static uint16_t s_u16Quor_EDIDLearnTimerOut;
    static uint16_t s_u16Quor_UartSpeed;
    // ---- Module "QuorPowerSave" (guarded by PrefMutex) ----
    static char s_cQuor_PWRSave_Rs232Poweron[kLongTextSize];
    static char s_cQuor_PWRSave_Rs232Poweroff[kLongTextSize];
    static char s_cQuor_PWRSave_RS232Support[kShortTextSize];
    static char s_cQuor_PWRSave_RS232DlyCtrltime[kShortTextSize];
    static char s_cQuor_RS232Speed[kShortTextSize];
    static char s_cQuor_RS232ParityBit[kShortTextSize];
    static char s_cQuor_RS232DataBit[kShortTextSize];
    static char s_cQuor_RS232StopBit[kShortTextSize];
    static char s_cQuor_PWRSave_RS232Hexadecimal[kShortTextSize];
    static char s_cQuor_RS232EndFlg[kShortTextSize];
    static char s_cQuor_SequenceMaxNum[kShortTextSize];
    // ---- Filled by other parts (guarded by PrefMutex) ----
    static char s_cQuor_MacAddr[kShortTextSize];

    // The parser of the file, created by ReadPref (guarded by PrefMutex).
    static XMLPrefsParser* s_xmlPrefsParser;

private:
    static int StoreValue(const char* setter, ContainerRef section, const char* name, const char* type,
                          const char* value);
    static const char* FindValueLocked(ContainerRef section, const char* name);
    static int GetNumber(ContainerRef section, const char* name, uint64_t* value);
    static void ApplyFileDefaults();
    static int ReadCommonModule();
    static void ReadNdkModule();
    static void ReadVelmarModule();
    static void ReadPowerSaveModule();
};

#endif
