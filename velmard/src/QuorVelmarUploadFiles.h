// Files of the web uploads: the names a client may give an uploaded file, the
// names recorded for the upgrade steps, and the moves and deletes of uploaded
// files.
//
// An upload's file name comes from the client. It is reduced to its last path
// component and must pass the whitelist before any path is built from it; the
// moves and deletes run in the process (rename, unlink, a directory scan), so
// no shell line ever carries a file name. Paths are board paths (BoardPath).
#ifndef QUOR_VELMAR_UPLOADFILES_H
#define QUOR_VELMAR_UPLOADFILES_H

#include <cstddef>

#include "QuorUpgradeNames.h"

// Size of the paths built here (511 characters and the terminator).
enum : size_t { QUOR_UPLOAD_NAME_SIZE = QUOR_UPGRADE_NAME_SIZE };

// Where every upload is written, and where the upgrade steps move them.
extern const char kQuorUploadDir[];        // "/www/tmp"
extern const char kQuorUpgradeArmDir[];    // "/Velmar/Upgrade/ARM/"
extern const char kQuorUpgradeMcuDir[];    // "/Velmar/Upgrade/MCU/"
// Uploads in progress are written to names with this prefix in the upload
// directory (a leading '.': never an upload's own name).
extern const char kQuorUploadTempPrefix[]; // ".upload-"

class CQuorVelmarUploadFiles {
public:
    // Longest file name accepted (characters).
    static constexpr size_t kMaxNameLength = 127;

    // The last component of a client's file name (after the last '/' or '\\').
    static const char* ReduceName(const char* name);
    // 0 when name may be used as a file name in the upload directory: 1 to 127
    // characters of [A-Za-z0-9._+-], not beginning with '.' or '-'. Else -2.
    static int CheckName(const char* name);

    // Records the file name of an upload by its form part (QuorUpgradeNames.h):
    // "MCU" (3 characters, case ignored) sets g_UpVersion to the name without
    // its last 4 characters (empty for a name of 4 or fewer), "ARM" to the
    // whole name, "EDID" (4) sets g_EDIDName. g_UpVersion is emptied first for
    // every part.
    static void RecordName(const char* partName, const char* fileName);
    // Copies of the recorded names (out: QUOR_UPLOAD_NAME_SIZE bytes).
    static void UpVersion(char* out);
    static void EDIDName(char* out);
    static void ClearUpVersion();

    // Moves the file from to the path to: rename, or on EXDEV a copy beside the
    // target renamed into place, then the source unlinked. 0, or -2 (logged;
    // the target is then left as it was).
    static int Move(const char* from, const char* to);
    // Deletes the file. 0, or -2 (logged).
    static int Remove(const char* path);
    // Removes the leftovers of unfinished uploads (kQuorUploadTempPrefix)
    // from the upload directory. The number removed.
    static int RemoveTemporaries();
    // Moves every entry of the directory dir whose name begins with prefix (a
    // checked name) into the directory toDir (ending in '/'). The number moved,
    // or -2 when none was found or a move failed.
    static int MovePrefixed(const char* dir, const char* prefix, const char* toDir);

    // Joins a directory and a name with "%s/%s" (or "%s%s" when dir ends in
    // '/') into out. 0, or -2 when it does not fit.
    static int JoinPath(const char* dir, const char* name, char* out, size_t outSize);
};

#endif
