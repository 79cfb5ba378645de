// Helper functions of velmard shared by the network, management and web code:
// shell commands, log dumps, reboot and factory reset, the network identity of
// the device and the checks of new network settings.
#ifndef QUOR_VELMAR_FUNCTION_H
#define QUOR_VELMAR_FUNCTION_H

#include <cstddef>
#include <cstdint>

// ---- Shell commands -------------------------------------------------------

// Runs a shell command and waits for it: the status as system() returns it
// (0 for success). On a simulated board the command runs under the board root
// (absolute paths and PATH resolved there); a command that would reach one of
// the machine's own machine-changing programs is refused with a logged error
// and -1 (see ShellCommand).
int pox_system(const char* command);
// pox_system for a caller that only needs to know it worked: true on status 0;
// a failure is logged as the source file `source` (its LightLog name).
bool RunLoggedCommand(const char* source, const char* command);

// ---- Log text of group message records ------------------------------------

// Size of the text buffer callers give GetLogCharForPack.
#define QUOR_LOG_PACK_TEXT_SIZE 2049

// Writes a one-line description of a group message record's body into text
// (textSize bytes, always terminated; a longer description is cut at
// textSize - 1 characters). An identifier without a description gives an empty
// text. Returns the characters written, or -2 for a null record or buffer.
int GetLogCharForPack(uint32_t commandId, const void* record, char* text,
                      size_t textSize = QUOR_LOG_PACK_TEXT_SIZE);

// ---- Hexadecimal dumps into the log ----------------------------------------

// Size of the dump text: 1365 bytes as "XX " (4095 characters) and the terminator.
#define QUOR_MEM_DUMP_TEXT_SIZE 4096

// Writes the bytes as "%02X " each (upper case, one blank after every byte)
// into text, as many as fit in textSize - 1 characters; always terminated.
// Returns the length of the text.
size_t FormatMemDump(const void* data, uint32_t length, char* text, size_t textSize);

// Logs the dump of the bytes (at most 1365 of them) at the given level as
// "===Memory<len="N"> is <...>", N being the length of the dump text. Returns
// 0; -1 when level is below 20000 (nothing logged); -2 for missing data.
int print_mem(uint32_t level, const void* data, uint32_t length);

// ---- Reboot and factory reset -----------------------------------------------

// Runs "reboot": 1 when it returned 0, else 0 (the device keeps running).
int RebootSystem();

// How RebootFactory waits between its steps (whole seconds).
typedef void (*QuorSleepSecondsFn)(unsigned int seconds);

// Restores the factory copies of the property file, the interface file, the
// SSH start script, the address script, the web logo and the preferences, runs
// "sync", waits 5 seconds and reboots. Stops at the first failing command (the
// files copied so far stay) and returns 0; returns 1 once the reboot was
// requested. sleepSeconds replaces the real waits (null: sleep).
int RebootFactory(QuorSleepSecondsFn sleepSeconds = nullptr);

// ---- Network identity -------------------------------------------------------

// Size of a dotted IPv4 address text (15 characters and the terminator).
#define QUOR_IP_TEXT_SIZE 16
// Size of the MAC text of GetLocalMacAddr (twelve digits and the terminator).
#define QUOR_MAC_HEX_TEXT_SIZE 13

// What GetNetWorkInfo reports of one Ethernet interface.
typedef struct {
    char cReserved[20];                 // not written by GetNetWorkInfo
    char cIpAddr[QUOR_IP_TEXT_SIZE];    // dotted text
    char cNetMask[QUOR_IP_TEXT_SIZE];   // dotted text
    char cGateWay[QUOR_IP_TEXT_SIZE];   // the system's default gateway, dotted text
    char cMacAddr[80];                  // "xx:xx:xx:xx:xx:xx", lower case
} T_DevInfoFromLocalAboutEth;

// Reads the default gateway from "ip route" (the third word of the first line
// whose first word begins with "default", when its second word is "via") into
// gateway (gatewaySize bytes). Without such a line, or when the address does
// not fit, gateway is left as it was. Returns 0, or -2 when the route listing
// cannot be started.
int GetGateWay(char* gateway, size_t gatewaySize);
template <size_t N>
inline int GetGateWay(char (&gateway)[N]) { return GetGateWay(gateway, N); }

// Writes the hardware address of "eth0" as twelve upper-case hexadecimal
// digits into macAddr (at least QUOR_MAC_HEX_TEXT_SIZE bytes). Returns 1, or 0
// when it cannot be read (macAddr then unchanged).
int GetLocalMacAddr(char* macAddr, size_t macSize);
template <size_t N>
inline int GetLocalMacAddr(char (&macAddr)[N]) { return GetLocalMacAddr(macAddr, N); }

// Fills one record per Ethernet interface (name containing "eth", last one of
// the kernel's list first) with its address, netmask, MAC address and the
// default gateway, at most capacity records. Returns the number of records
// filled; 0 when the interface list cannot be read.
int GetNetWorkInfo(T_DevInfoFromLocalAboutEth* records, unsigned int capacity = 1);
// The same, but -1 when the interface list cannot be read (0 then means a
// readable list without an Ethernet interface that has an address).
int ReadNetWorkInfo(T_DevInfoFromLocalAboutEth* records, unsigned int capacity = 1);

// ---- Checks of new network settings -------------------------------------------

// A request to apply new network settings: three dotted texts, each
// NUL-terminated within its field.
typedef struct {
    char IPAddr[QUOR_IP_TEXT_SIZE];
    char SubMask[QUOR_IP_TEXT_SIZE];
    char Gateway[QUOR_IP_TEXT_SIZE];
} T_QuorEtherNetInfoSetReq;

// Clears the request and copies the three texts in. Returns 0, or -2 (record
// left cleared) when a text is missing or longer than 15 characters: a longer
// text is refused, never cut, so that no other address is applied.
int FillEtherNetInfoSetReq(T_QuorEtherNetInfoSetReq* req, const char* ipAddr, const char* subMask,
                           const char* gateway);

// True form of an address text: exactly four '.'-separated decimal fields of
// one to three digits, each at most 255, and the terminator within textSize
// bytes. Returns 0 with the four values in parts (may be null), else -2.
int CheckIPV4AddrFormat(const char* text, size_t textSize, uint8_t parts[4]);

// Rewrites a text that passes CheckIPV4AddrFormat in canonical form (fields
// read as decimal, leading zeros dropped: "010.1.1.1" becomes "10.1.1.1"),
// so no tool that reads a leading zero as octal ever sees one. Returns 0, or
// -2 (text unchanged) when the text is not a dotted address.
int CanonicalIPV4Addr(char* text, size_t textSize);

// Splits a netmask text into its four parts (leading decimal number after the
// start and after each '.', low 8 bits). Returns 0, or -2 for a missing
// argument, a first part other than 255 or more than four parts.
int CheckIPV4SubMaskValidity(const char* subMask, uint8_t parts[4]);

// Checks new network settings before they are applied: the three texts must
// differ, be well-formed dotted addresses, the netmask must begin with 255,
// and the address and the gateway must agree wherever the netmask part is
// 255. Returns 0 when acceptable, -2 when refused, -1 when the address
// pattern cannot be compiled.
int CheckIPInfoValidity(const T_QuorEtherNetInfoSetReq* req);

#endif
