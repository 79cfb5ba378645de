// The preference vocabulary on top of the XML parser: a "CONFIGURATION"
// root holding one "SERVER" section and named "MODULE" sections of typed
// "PREF", "LIST-PREF", "OBJECT" and "LIST-OBJECT" entries. Values are text.
#ifndef QUOR_XMLPREFSPARSER_H
#define QUOR_XMLPREFSPARSER_H

#include <cstdint>

#include "XMLParser.h"

typedef XMLTag* ContainerRef;
typedef XMLTag* PrefRef;

class XMLPrefsParser : public XMLParser {
public:
    explicit XMLPrefsParser(const char* prefsFilePath);
    ~XMLPrefsParser() override = default;

    // 0, or -1 when the file cannot be read or parsed (the reason is logged).
    int Parse();

    // True when value can be stored and read back: not null and holding no
    // "<" (a value with "<" would make the file unreadable).
    static bool IsStorableValue(const char* value);

    // The root, created as "CONFIGURATION" if absent.
    XMLTag* GetConfigurationTag();
    // The "SERVER" section, created if absent.
    ContainerRef GetRefForServer();
    // The "MODULE" section with that "NAME", created if absent; no name gives
    // the server section. The flag has no effect.
    ContainerRef GetRefForModule(const char* moduleName, bool create = true);

    PrefRef GetPrefRefByName(ContainerRef container, const char* prefName);
    PrefRef GetPrefRefByIndex(ContainerRef container, uint32_t index);
    uint32_t GetNumPrefsByContainer(ContainerRef container);

    // The existing entry of that name, else a new "PREF" ("EMPTY-OBJECT" for
    // "Quor_Object") with a "TYPE" unless the type is "CharArray". None for a
    // missing container or name, or a name holding a quote or "<".
    PrefRef AddPref(ContainerRef container, const char* prefName, const char* prefType);
    // Unlinks and deletes the entry.
    void RemovePref(PrefRef pref);
    void ChangePrefType(PrefRef pref, const char* newType);

    // The value at valueIndex (none if absent); name and type ("CharArray"
    // when no "TYPE"; "Quor_Object" for objects) go to the out pointers.
    char* GetPrefValueByRef(PrefRef pref, uint32_t valueIndex, char** prefName, char** dataType);
    char* GetPrefValueByIndex(ContainerRef container, uint32_t prefIndex, uint32_t valueIndex, char** prefName,
                              char** dataType);
    uint32_t GetNumPrefValues(PrefRef pref);

    // Value changes return false (and change nothing) for a missing entry, a
    // value that is not storable, or an index beyond the values.
    bool AddPrefValue(PrefRef pref, const char* value);
    bool SetPrefValue(PrefRef pref, uint32_t valueIndex, const char* value);
    void RemovePrefValue(PrefRef pref, uint32_t valueIndex);

    // Objects: "EMPTY-OBJECT" becomes "OBJECT"; a second object turns an
    // "OBJECT" into a "LIST-OBJECT". Returns the new object's container.
    ContainerRef AddNewObject(PrefRef pref);
    ContainerRef GetObjectValue(PrefRef pref, uint32_t valueIndex);

    // Writes the file (creating an empty root if needed): 0, or -1 when the
    // write failed and the old file is kept.
    int WritePrefsFile();

    // Free space in KiB of the file system holding path, 0 on error.
    static uint64_t GetDiskFreeSpace(const char* path);
};

#endif
