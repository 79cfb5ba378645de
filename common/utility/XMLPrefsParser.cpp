#include "XMLPrefsParser.h"

#include <cstring>
#include <new>
#include <sys/statvfs.h>

#include "LightLog.h"
#include "MyAssert.h"

namespace {

const char* const kSrc = "utility/XMLPrefsParser";

const char* const kConfiguration = "CONFIGURATION";
const char* const kServer = "SERVER";
const char* const kModule = "MODULE";
const char* const kPref = "PREF";
const char* const kListPref = "LIST-PREF";
const char* const kValue = "VALUE";
const char* const kObject = "OBJECT";
const char* const kListObject = "LIST-OBJECT";
const char* const kEmptyObject = "EMPTY-OBJECT";
const char* const kName = "NAME";
const char* const kType = "TYPE";
const char* const kCharArray = "CharArray";
const char* const kObjectType = "Quor_Object";

bool Is(PrefRef pref, const char* tagName)
{
    return pref != nullptr && pref->GetTagName() != nullptr && strcmp(pref->GetTagName(), tagName) == 0;
}

bool IsObject(PrefRef pref)
{
    return Is(pref, kObject) || Is(pref, kListObject) || Is(pref, kEmptyObject);
}

XMLTag* NewTag(const char* name, const char* value = nullptr)
{
    XMLTag* tag = new (std::nothrow) XMLTag(name);
    if (tag != nullptr && value != nullptr)
        tag->SetValue(value);
    return tag;
}

// Moves every embedded tag of from to the end of to.
void MoveEmbeddedTags(XMLTag* from, XMLTag* to)
{
    while (XMLTag* tag = from->GetEmbeddedTag(0)) {
        from->RemoveEmbeddedTag(tag);
        to->AddEmbeddedTag(tag);
    }
}

void DeleteEmbeddedTag(XMLTag* container, XMLTag* tag)
{
    if (tag == nullptr)
        return;
    container->RemoveEmbeddedTag(tag);
    delete tag;
}

}  // namespace

XMLPrefsParser::XMLPrefsParser(const char* prefsFilePath) : XMLParser(prefsFilePath, nullptr) {}

int XMLPrefsParser::Parse()
{
    char error[512];
    error[0] = '\0';
    if (ParseFile(error, sizeof(error)))
        return 0;
    LightLogExt(40000, 0, kSrc, __LINE__, "######Parse <%s> failed: %s", GetFilePath(), error);
    return -1;
}

bool XMLPrefsParser::IsStorableValue(const char* value)
{
    return value != nullptr && strchr(value, '<') == nullptr;
}

XMLTag* XMLPrefsParser::GetConfigurationTag()
{
    if (GetRootTag() == nullptr)
        SetRootTag(NewTag(kConfiguration));
    return GetRootTag();
}

ContainerRef XMLPrefsParser::GetRefForServer()
{
    XMLTag* root = GetConfigurationTag();
    if (root == nullptr)
        return nullptr;
    XMLTag* server = root->GetEmbeddedTagByName(kServer);
    if (server == nullptr && (server = NewTag(kServer)) != nullptr)
        root->AddEmbeddedTag(server);
    return server;
}

ContainerRef XMLPrefsParser::GetRefForModule(const char* moduleName, bool create)
{
    (void)create;
    if (moduleName == nullptr)
        return GetRefForServer();
    XMLTag* root = GetConfigurationTag();
    if (root == nullptr)
        return nullptr;
    XMLTag* module = root->GetEmbeddedTagByNameAndAttr(kModule, kName, moduleName);
    if (module == nullptr && (module = NewTag(kModule)) != nullptr) {
        module->AddAttribute(kName, moduleName);
        root->AddEmbeddedTag(module);
    }
    return module;
}

PrefRef XMLPrefsParser::GetPrefRefByName(ContainerRef container, const char* prefName)
{
    if (prefName == nullptr) {
        MyAssertAt("XMLPrefsParser", 225);
        return nullptr;
    }
    if (container == nullptr)
        return nullptr;
    return container->GetEmbeddedTagByAttr(kName, prefName);
}

PrefRef XMLPrefsParser::GetPrefRefByIndex(ContainerRef container, uint32_t index)
{
    return container != nullptr ? container->GetEmbeddedTag(index) : nullptr;
}

uint32_t XMLPrefsParser::GetNumPrefsByContainer(ContainerRef container)
{
    return container != nullptr ? container->GetNumEmbeddedTags() : 0;
}

PrefRef XMLPrefsParser::AddPref(ContainerRef container, const char* prefName, const char* prefType)
{
    if (container == nullptr || prefName == nullptr || strpbrk(prefName, "\"<") != nullptr)
        return nullptr;
    if (PrefRef existing = GetPrefRefByName(container, prefName))
        return existing;
    const char* type = prefType != nullptr ? prefType : kCharArray;
    XMLTag* pref = NewTag(strcmp(type, kObjectType) == 0 ? kEmptyObject : kPref);
    if (pref == nullptr)
        return nullptr;
    pref->AddAttribute(kName, prefName);
    if (strcmp(type, kCharArray) != 0)
        pref->AddAttribute(kType, type);
    container->AddEmbeddedTag(pref);
    return pref;
}

void XMLPrefsParser::RemovePref(PrefRef pref)
{
    if (pref == nullptr || pref == GetRootTag())
        return;
    pref->Detach();
    delete pref;
}

void XMLPrefsParser::ChangePrefType(PrefRef pref, const char* newType)
{
    if (pref == nullptr)
        return;
    pref->RemoveAttribute(kType);
    if (newType != nullptr && strcmp(newType, kCharArray) != 0)
        pref->AddAttribute(kType, newType);
}

char* XMLPrefsParser::GetPrefValueByRef(PrefRef pref, uint32_t valueIndex, char** prefName, char** dataType)
{
    static char sCharArray[] = "CharArray";
    static char sObjectType[] = "Quor_Object";
    if (prefName != nullptr)
        *prefName = pref != nullptr ? pref->GetAttributeValue(kName) : nullptr;
    if (dataType != nullptr) {
        char* type = pref != nullptr ? pref->GetAttributeValue(kType) : nullptr;
        *dataType = IsObject(pref) ? sObjectType : (type != nullptr ? type : sCharArray);
    }
    if (Is(pref, kPref))
        return valueIndex == 0 ? pref->GetValue() : nullptr;
    if (Is(pref, kListPref)) {
        XMLTag* value = pref->GetEmbeddedTagByName(kValue, valueIndex);
        return value != nullptr ? value->GetValue() : nullptr;
    }
    return nullptr;
}

char* XMLPrefsParser::GetPrefValueByIndex(ContainerRef container, uint32_t prefIndex, uint32_t valueIndex,
                                          char** prefName, char** dataType)
{
    return GetPrefValueByRef(GetPrefRefByIndex(container, prefIndex), valueIndex, prefName, dataType);
}

uint32_t XMLPrefsParser::GetNumPrefValues(PrefRef pref)
{
    if (pref == nullptr)
        return 0;
    if (Is(pref, kPref))
        return pref->GetValue() != nullptr ? 1 : 0;
    if (Is(pref, kObject))
        return 1;
    if (Is(pref, kEmptyObject))
        return 0;
    return pref->GetNumEmbeddedTags();
}

bool XMLPrefsParser::AddPrefValue(PrefRef pref, const char* value)
{
    if (pref == nullptr || !IsStorableValue(value)) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######AddPrefValue: value refused.");
        return false;
    }
    if (Is(pref, kPref)) {
        if (pref->GetValue() == nullptr) {
            pref->SetValue(value);
            return true;
        }
        XMLTag* first = NewTag(kValue, pref->GetValue());
        XMLTag* second = NewTag(kValue, value);
        if (first == nullptr || second == nullptr) {
            delete first;
            delete second;
            return false;
        }
        pref->SetValue(nullptr);
        pref->SetTagName(kListPref);
        pref->AddEmbeddedTag(first);
        pref->AddEmbeddedTag(second);
        return true;
    }
    if (Is(pref, kListPref)) {
        XMLTag* next = NewTag(kValue, value);
        if (next == nullptr)
            return false;
        pref->AddEmbeddedTag(next);
        return true;
    }
    return false;
}

bool XMLPrefsParser::SetPrefValue(PrefRef pref, uint32_t valueIndex, const char* value)
{
    if (pref == nullptr || !IsStorableValue(value)) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######SetPrefValue: value refused.");
        return false;
    }
    uint32_t count = GetNumPrefValues(pref);
    if (Is(pref, kPref) && ((count < 2 && valueIndex == 0) || count == 1)) {
        pref->SetValue(value);
        return true;
    }
    if (valueIndex == count)
        return AddPrefValue(pref, value);
    XMLTag* slot = Is(pref, kListPref) ? pref->GetEmbeddedTagByName(kValue, valueIndex) : nullptr;
    if (slot == nullptr)
        return false;
    slot->SetValue(value);
    return true;
}

void XMLPrefsParser::RemovePrefValue(PrefRef pref, uint32_t valueIndex)
{
    uint32_t count = GetNumPrefValues(pref);
    if (pref == nullptr || valueIndex >= count) {
        if (pref != nullptr && count == 0 && valueIndex == 0)
            RemovePref(pref);
        return;
    }
    if (count == 1) {
        RemovePref(pref);
        return;
    }
    XMLTag* removed = pref->GetEmbeddedTag(valueIndex);
    if (count > 2 || removed == nullptr) {
        DeleteEmbeddedTag(pref, removed);
        return;
    }
    DeleteEmbeddedTag(pref, removed);
    XMLTag* remaining = pref->GetEmbeddedTag(0);
    if (remaining == nullptr)
        return;
    pref->RemoveEmbeddedTag(remaining);
    if (Is(pref, kListPref)) {
        pref->SetTagName(kPref);
        pref->SetValue(remaining->GetValue());
    } else if (Is(pref, kListObject)) {
        pref->SetTagName(kObject);
        MoveEmbeddedTags(remaining, pref);
    }
    delete remaining;
}

ContainerRef XMLPrefsParser::AddNewObject(PrefRef pref)
{
    if (Is(pref, kEmptyObject)) {
        pref->SetTagName(kObject);
        return pref;
    }
    if (!Is(pref, kObject) && !Is(pref, kListObject))
        return nullptr;
    XMLTag* added = NewTag(kObject);
    if (added == nullptr)
        return nullptr;
    if (Is(pref, kObject)) {
        XMLTag* first = NewTag(kObject);
        if (first == nullptr) {
            delete added;
            return nullptr;
        }
        MoveEmbeddedTags(pref, first);
        pref->SetTagName(kListObject);
        pref->AddEmbeddedTag(first);
    }
    pref->AddEmbeddedTag(added);
    return added;
}

ContainerRef XMLPrefsParser::GetObjectValue(PrefRef pref, uint32_t valueIndex)
{
    if (Is(pref, kObject))
        return valueIndex == 0 ? pref : nullptr;
    if (Is(pref, kListObject))
        return pref->GetEmbeddedTagByName(kObject, valueIndex);
    return nullptr;
}

int XMLPrefsParser::WritePrefsFile()
{
    if (GetConfigurationTag() == nullptr)
        return -1;
    return WriteToFile(nullptr);
}

uint64_t XMLPrefsParser::GetDiskFreeSpace(const char* path)
{
    struct statvfs info;
    if (path == nullptr || statvfs(path, &info) != 0)
        return 0;
    return (uint64_t)info.f_bfree * (uint64_t)info.f_bsize / 1024u;
}
