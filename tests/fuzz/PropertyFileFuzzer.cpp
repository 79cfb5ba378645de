// Fuzzes the property file reader: any file reads, and every key read has a
// value without line breaks.
#include "FuzzSupport.h"
#include "serverproperty.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CTextParser parser;
    if (parser.Parse(fuzz::InputAsFile(data, size)) == 0)
        return 0;
    for (const char* key : {"UserPassWord", "alias", "ipmod", "gateway"}) {
        std::string value = parser.GetValAsString(key);
        if (value.find('\n') != std::string::npos)
            __builtin_trap();
    }
    return 0;
}
