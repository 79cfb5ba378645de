// The names the web side hands to the upgrades: the image last announced by
// an upload (g_UpVersion), the EDID file last uploaded (g_EDIDName) and the
// MCU image set to program (g_MCUVersionFile, "/Velmar/Upgrade/MCU/<name>"
// without the bank suffix ".h00", ".h01", ".h02").
//
// The web thread writes them and the MCU programming task reads and empties
// them, so every access goes through the functions below, which hold one
// small lock for the copy. A copy is cut to the buffer (terminator
// included) and says so.
#ifndef QUOR_UPGRADE_NAMES_H
#define QUOR_UPGRADE_NAMES_H

#include <cstddef>

enum : size_t { QUOR_UPGRADE_NAME_SIZE = 512 };

extern char g_UpVersion[QUOR_UPGRADE_NAME_SIZE];
extern char g_EDIDName[QUOR_UPGRADE_NAME_SIZE];
extern char g_MCUVersionFile[QUOR_UPGRADE_NAME_SIZE];

// Sets one of the three names (null text: empty). false when the text did
// not fit and was cut.
bool QuorSetUpgradeName(char (&name)[QUOR_UPGRADE_NAME_SIZE], const char* text);
// Copies one of the names into out (outSize bytes, always terminated when
// outSize > 0). false when it did not fit and was cut.
bool QuorGetUpgradeName(const char (&name)[QUOR_UPGRADE_NAME_SIZE], char* out, size_t outSize);

#endif
