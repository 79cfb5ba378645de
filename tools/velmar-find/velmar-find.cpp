// velmar-find: finds endpoints on the local network with the configuration
// tool's search protocol (UDP port 1983) and reads or writes one item.
//
//   velmar-find [--to ADDR] [--wait MS] [--json]               list endpoints
//   velmar-find [--to ADDR] [--wait MS] [--json] get ID TAG    read one item
//   velmar-find [--to ADDR] [--wait MS] [--json] set ID TAG VALUE
//
// Exit status: 0 answered, 1 nothing answered (or no socket), 2 bad usage.
#include <getopt.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "SearchClient.h"

namespace {

const int kDefaultWaitMs = 1000;

struct T_Options {
    std::string strTo;
    int s32WaitMs = kDefaultWaitMs;
    bool b8Json = false;
};

void PrintUsage(FILE* out)
{
    fprintf(out,
            "usage: velmar-find [--to ADDR] [--wait MS] [--json]            list the endpoints that answer\n"
            "       velmar-find [--to ADDR] [--wait MS] [--json] get ID TAG  read one item of endpoint ID\n"
            "       velmar-find [--to ADDR] [--wait MS] [--json] set ID TAG VALUE\n"
            "                                                     write one item (endpoints echo, change nothing)\n"
            "  --to ADDR   send to ADDR (a device or a broadcast address) instead of every local\n"
            "              interface's broadcast address\n"
            "  --wait MS   how long to wait for answers (default %d ms)\n"
            "  --json      print JSON instead of a table\n"
            "  ID is the device identifier of the list (hexadecimal); TAG a name or number below.\n"
            "\nTags:\n",
            kDefaultWaitMs);
    size_t count = 0;
    const T_SearchTagInfo* tags = SearchTags(&count);
    for (size_t i = 0; i < count; ++i)
        fprintf(out, "  0x%02x  %-20s %s%s\n", tags[i].u8Tag, tags[i].pName, tags[i].pDescription,
                tags[i].b8Readable ? "" : " (not readable)");
}

[[noreturn]] void Usage(const char* why)
{
    fprintf(stderr, "velmar-find: %s\n", why);
    PrintUsage(stderr);
    exit(2);
}

// A JSON string literal of text (bytes above 0x7e as \u00XX).
std::string Json(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        char escaped[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20 || c > 0x7e) {
            snprintf(escaped, sizeof(escaped), "\\u%04x", c);
            out += escaped;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

// text with every byte that is not printable ASCII shown as '?'.
std::string Printable(const std::string& text)
{
    std::string out = text;
    for (char& c : out) {
        if ((unsigned char)c < 0x20 || (unsigned char)c > 0x7e)
            c = '?';
    }
    return out;
}

bool ParseId(const char* text, uint32_t* id)
{
    char* end = nullptr;
    unsigned long long value = strtoull(text, &end, 16);
    *id = (uint32_t)value;
    return text[0] != '\0' && text[0] != '-' && *end == '\0' && value <= UINT32_MAX;
}

const T_SearchTagInfo* ParseTag(const char* text)
{
    const T_SearchTagInfo* info = SearchTagByName(text);
    if (info != nullptr)
        return info;
    char* end = nullptr;
    unsigned long value = strtoul(text, &end, 0);
    return text[0] != '\0' && *end == '\0' ? SearchTagByNumber((uint8_t)(value <= 255 ? value : 255)) : nullptr;
}

// ---- Listing ------------------------------------------------------------------

const char* const kColumns[] = {"id", "address", "netmask", "gateway", "mac", "alias", "uptime"};
const char* const kColumnTags[] = {nullptr, "ip", "netmask", "gateway", "mac", "alias", "uptime"};
const size_t kColumnCount = sizeof(kColumns) / sizeof(kColumns[0]);

std::vector<std::string> DeviceRow(CSearchClient& client, const T_SearchAnswer& found)
{
    char id[16];
    snprintf(id, sizeof(id), "%08x", found.tRsp.u32Q7MId);
    std::vector<std::string> row = {id};
    for (size_t c = 1; c < kColumnCount; ++c) {
        const T_SearchTagInfo* info = SearchTagByName(kColumnTags[c]);
        T_SearchAnswer answer;
        bool got = client.Request(QUOR_SEARCH_TYPE_GET, found.tRsp.u32Q7MId, info->u8Tag, std::string(), &answer,
                                  found.strFrom);
        row.push_back(got ? SearchValueText(info, answer.tRsp) : std::string());
    }
    if (row[1].empty())
        row[1] = found.strFrom;
    return row;
}

void PrintTable(const std::vector<std::vector<std::string>>& rows)
{
    std::vector<size_t> widths(kColumnCount);
    for (size_t c = 0; c < kColumnCount; ++c) {
        widths[c] = strlen(kColumns[c]);
        for (const auto& row : rows)
            widths[c] = std::max(widths[c], Printable(row[c]).size());
    }
    auto printRow = [&](const std::vector<std::string>& cells) {
        for (size_t c = 0; c + 1 < kColumnCount; ++c)
            printf("%-*s  ", (int)widths[c], Printable(cells[c]).c_str());
        printf("%s\n", Printable(cells[kColumnCount - 1]).c_str());
    };
    printRow(std::vector<std::string>(kColumns, kColumns + kColumnCount));
    for (const auto& row : rows)
        printRow(row);
}

void PrintJsonRows(const std::vector<std::vector<std::string>>& rows)
{
    printf("[");
    for (size_t r = 0; r < rows.size(); ++r) {
        printf(r == 0 ? "\n  {" : ",\n  {");
        for (size_t c = 0; c < kColumnCount; ++c)
            printf("%s%s: %s", c == 0 ? "" : ", ", Json(kColumns[c]).c_str(), Json(rows[r][c]).c_str());
        printf("}");
    }
    printf(rows.empty() ? "]\n" : "\n]\n");
}

int List(CSearchClient& client, const T_Options& options)
{
    std::vector<std::vector<std::string>> rows;
    for (const T_SearchAnswer& found : client.Search())
        rows.push_back(DeviceRow(client, found));
    if (options.b8Json)
        PrintJsonRows(rows);
    else
        PrintTable(rows);
    return rows.empty() ? 1 : 0;
}

// ---- One item -----------------------------------------------------------------

int Item(CSearchClient& client, const T_Options& options, char** args, int count)
{
    bool write = strcmp(args[0], "set") == 0;
    if (count != (write ? 4 : 3))
        Usage(write ? "set takes ID TAG VALUE" : "get takes ID TAG");
    uint32_t id = 0;
    if (!ParseId(args[1], &id))
        Usage("ID is a hexadecimal device identifier");
    const T_SearchTagInfo* info = ParseTag(args[2]);
    if (info == nullptr)
        Usage("unknown tag");
    std::string value, error;
    if (write && !SearchValueBytes(info, args[3], &value, &error))
        Usage(error.c_str());
    T_SearchAnswer answer;
    if (!client.Request(write ? QUOR_SEARCH_TYPE_SET : QUOR_SEARCH_TYPE_GET, id, info->u8Tag, value, &answer)) {
        fprintf(stderr, "velmar-find: no answer from %08x to %s %s\n", id, args[0], info->pName);
        return 1;
    }
    std::string text = SearchValueText(info, answer.tRsp);
    if (options.b8Json)
        printf("{\"id\": \"%08x\", \"address\": %s, \"tag\": %s, \"length\": %u, \"value\": %s}\n", id,
               Json(answer.strFrom).c_str(), Json(info->pName).c_str(), answer.tRsp.u8Len, Json(text).c_str());
    else
        printf("%s\n", Printable(text).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    static const struct option kLong[] = {{"to", required_argument, nullptr, 't'},
                                          {"wait", required_argument, nullptr, 'w'},
                                          {"json", no_argument, nullptr, 'j'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    T_Options options;
    int option;
    while ((option = getopt_long(argc, argv, "+t:w:jh", kLong, nullptr)) != -1) {
        switch (option) {
        case 't':
            options.strTo = optarg;
            break;
        case 'w': {
            char* end = nullptr;
            long ms = strtol(optarg, &end, 10);
            if (*end != '\0' || ms < 1 || ms > 60000)
                Usage("--wait takes 1 to 60000 milliseconds");
            options.s32WaitMs = (int)ms;
            break;
        }
        case 'j':
            options.b8Json = true;
            break;
        case 'h':
            PrintUsage(stdout);
            return 0;
        default:
            Usage("unknown option");
        }
    }
    int rest = argc - optind;
    if (rest > 0 && strcmp(argv[optind], "get") != 0 && strcmp(argv[optind], "set") != 0)
        Usage("the commands are get and set");
    CSearchClient client(options.strTo, options.s32WaitMs);
    if (!client.Ok()) {
        fprintf(stderr, "velmar-find: %s\n", client.Error().c_str());
        return 1;
    }
    return rest == 0 ? List(client, options) : Item(client, options, argv + optind, rest);
}
