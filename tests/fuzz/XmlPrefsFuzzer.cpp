// Fuzzes the XML preferences parser: any file parses or is refused, and one
// that parses is walked whole.
#include "FuzzSupport.h"
#include "XMLPrefsParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    XMLPrefsParser parser(fuzz::InputAsFile(data, size).c_str());
    if (parser.Parse() != 0)
        return 0;
    ContainerRef server = parser.GetRefForServer();
    for (uint32_t i = 0; server != nullptr && i < parser.GetNumPrefsByContainer(server); ++i) {
        PrefRef pref = parser.GetPrefRefByIndex(server, i);
        for (uint32_t v = 0; pref != nullptr && v < parser.GetNumPrefValues(pref); ++v) {
            char* name = nullptr;
            char* type = nullptr;
            parser.GetPrefValueByRef(pref, v, &name, &type);
        }
    }
    return 0;
}
