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

// ---- Log text of group message records ------------------------------------

// Size of the text buffer callers give GetLogCharForPack.
#define QUOR_LOG_PACK_TEXT_SIZE 2049

// Writes a one-line description of a group message record's body into text
// (textSize bytes, always terminated; a longer description is cut at
// textSize - 1 characters). An identifier without a description gives an empty
// text. Returns the characters written, or -2 for a null record or buffer.
int GetLogCharForPack(uint32_t commandId, const void* record, char* text,
                      size_t textSize = QUOR_LOG_PACK_TEXT_SIZE);

#endif
