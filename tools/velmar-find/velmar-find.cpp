// velmar-find: finds endpoints on the local network with the configuration
// tool's search protocol (UDP port 1983) and reads or writes one item.
//
//   velmar-find [OPTIONS]                          list endpoints
//   velmar-find [OPTIONS] get ID|0|all TAG         read one item (0, all: every endpoint)
//   velmar-find [OPTIONS] set ID TAG VALUE         write one item
//   OPTIONS: --to ADDR, --wait MS, --json, --csv, --help
//
// Every command ends within --wait. Text passes through as UTF-8; bytes
// that are no valid UTF-8 (and control characters) are shown as \xNN.
// Exit status: 0 some endpoint answered, 1 none answered, 2 bad usage,
// 3 local error (no socket, no interface, --to not an address).
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
enum { kExitAnswered = 0, kExitNone = 1, kExitUsage = 2, kExitLocal = 3 };
enum T_Format { kTable, kJson, kCsv };

struct T_Options {
    std::string strTo;
    int s32WaitMs = kDefaultWaitMs;
    T_Format eFormat = kTable;
};

void PrintUsage(FILE* out)
{
    fprintf(out,
            "usage: velmar-find [OPTIONS]                     list the endpoints that answer\n"
            "       velmar-find [OPTIONS] get ID TAG          read one item of endpoint ID\n"
            "       velmar-find [OPTIONS] get all TAG         read one item of every endpoint (also: get 0 TAG)\n"
            "       velmar-find [OPTIONS] set ID TAG VALUE    write one item (endpoints echo, change nothing)\n"
            "options:\n"
            "  --to ADDR   send to ADDR (a device or a broadcast address) instead of every local\n"
            "              interface's broadcast address\n"
            "  --wait MS   the whole command's time limit, search and reads together (default %d ms,\n"
            "              1 to 60000); a list keeps at most %d endpoints\n"
            "  --json      print JSON (numbers as numbers, a missing value as null)\n"
            "  --csv       print comma-separated values with a header line\n"
            "  --help      print this text\n"
            "ID is the device identifier of the list (hexadecimal); TAG a name or number below.\n"
            "Text is printed as UTF-8; other bytes and control characters as \\xNN.\n"
            "Exit status: 0 some endpoint answered, 1 none answered, 2 bad usage,\n"
            "3 local error (no socket, no interface, --to not an address).\n"
            "\nTags:\n",
            kDefaultWaitMs, (int)CSearchClient::kMaxEndpoints);
    size_t count = 0;
    const T_SearchTagInfo* tags = SearchTags(&count);
    for (size_t i = 0; i < count; ++i)
        fprintf(out, "  0x%02x  %-20s %s%s\n", tags[i].u8Tag, tags[i].pName, tags[i].pDescription,
                tags[i].b8Readable ? "" : " (not readable)");
}

[[noreturn]] void Usage(const std::string& why)
{
    fprintf(stderr, "velmar-find: %s\n", why.c_str());
    PrintUsage(stderr);
    exit(kExitUsage);
}

// ---- Text ---------------------------------------------------------------------

// A JSON string literal of text (UTF-8 as it is).
std::string Json(const std::string& text)
{
    std::string out = "\"";
    for (char ch : SearchEscapedText(text, true)) {
        const unsigned char c = (unsigned char)ch;
        char escaped[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            snprintf(escaped, sizeof(escaped), "\\u%04x", c);
            out += escaped;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

// A CSV field: quoted when it holds a comma, a quote or a line end.
std::string Csv(const std::string& text)
{
    std::string shown = SearchEscapedText(text, false);
    if (shown.find_first_of(",\"") == std::string::npos)
        return shown;
    std::string out = "\"";
    for (char c : shown)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

// Characters (code points) of UTF-8 text, for the table's columns.
size_t Columns(const std::string& text)
{
    size_t count = 0;
    for (unsigned char c : text)
        count += (c & 0xC0) != 0x80;
    return count;
}

// ---- Arguments ------------------------------------------------------------------

bool ParseId(const char* text, uint32_t* id)
{
    if (strcasecmp(text, "all") == 0) {
        *id = 0;
        return true;
    }
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

std::string ReadableTags()
{
    std::string names;
    size_t count = 0;
    const T_SearchTagInfo* tags = SearchTags(&count);
    for (size_t i = 0; i < count; ++i) {
        if (tags[i].b8Readable)
            names += (names.empty() ? "" : ", ") + std::string(tags[i].pName);
    }
    return names;
}

// ---- Rows -----------------------------------------------------------------------

// One cell: its text and whether it is a number (JSON) or missing (null).
struct T_Cell {
    std::string strText;
    bool b8Number = false;
    bool b8Missing = false;
};
using T_Row = std::vector<T_Cell>;

T_Cell Text(const std::string& text)
{
    T_Cell cell;
    cell.strText = text;
    return cell;
}

T_Cell IdCell(uint32_t id)
{
    char text[16];
    snprintf(text, sizeof(text), "%08x", id);
    return Text(text);
}

T_Cell ValueCell(const T_SearchTagInfo* info, const T_SearchValue& value)
{
    T_Cell cell;
    cell.b8Missing = !value.b8Answered;
    if (value.b8Answered) {
        cell.strText = SearchValueText(info, value.strBytes);
        cell.b8Number = SearchValueIsNumber(info, value.strBytes);
    }
    return cell;
}

void PrintTable(const std::vector<std::string>& head, const std::vector<T_Row>& rows)
{
    std::vector<size_t> widths(head.size());
    for (size_t c = 0; c < head.size(); ++c) {
        widths[c] = head[c].size();
        for (const T_Row& row : rows)
            widths[c] = std::max(widths[c], Columns(SearchEscapedText(row[c].strText, false)));
    }
    auto printRow = [&](const std::vector<std::string>& cells) {
        std::string line;
        for (size_t c = 0; c < cells.size(); ++c) {
            line += cells[c];
            if (c + 1 < cells.size())
                line += std::string(widths[c] - Columns(cells[c]) + 2, ' ');
        }
        printf("%s\n", line.c_str());
    };
    printRow(head);
    for (const T_Row& row : rows) {
        std::vector<std::string> cells;
        for (const T_Cell& cell : row)
            cells.push_back(SearchEscapedText(cell.strText, false));
        printRow(cells);
    }
}

void PrintJson(const std::vector<std::string>& head, const std::vector<T_Row>& rows)
{
    printf("[");
    for (size_t r = 0; r < rows.size(); ++r) {
        printf(r == 0 ? "\n  {" : ",\n  {");
        for (size_t c = 0; c < head.size(); ++c) {
            const T_Cell& cell = rows[r][c];
            std::string value = cell.b8Missing ? "null" : cell.b8Number ? cell.strText : Json(cell.strText);
            printf("%s%s: %s", c == 0 ? "" : ", ", Json(head[c]).c_str(), value.c_str());
        }
        printf("}");
    }
    printf(rows.empty() ? "]\n" : "\n]\n");
}

void PrintCsv(const std::vector<std::string>& head, const std::vector<T_Row>& rows)
{
    auto printRow = [](const std::vector<std::string>& cells) {
        std::string line;
        for (size_t c = 0; c < cells.size(); ++c)
            line += (c == 0 ? "" : ",") + Csv(cells[c]);
        printf("%s\r\n", line.c_str());
    };
    printRow(head);
    for (const T_Row& row : rows) {
        std::vector<std::string> cells;
        for (const T_Cell& cell : row)
            cells.push_back(cell.strText);
        printRow(cells);
    }
}

void PrintRows(const T_Options& options, const std::vector<std::string>& head, const std::vector<T_Row>& rows)
{
    if (options.eFormat == kJson)
        PrintJson(head, rows);
    else if (options.eFormat == kCsv)
        PrintCsv(head, rows);
    else
        PrintTable(head, rows);
}

void ReportDropped(const CSearchClient& client)
{
    if (client.Dropped() > 0)
        fprintf(stderr, "velmar-find: %u more endpoints answered beyond the %d listed\n", client.Dropped(),
                (int)CSearchClient::kMaxEndpoints);
}

// ---- Listing ------------------------------------------------------------------

// The list's columns after "id": the tags read from every endpoint, the
// first one first (an endpoint that does not answer it is asked nothing
// more). "address" falls back to the search answer's sender.
const char* const kListTags[] = {"ip", "netmask", "gateway", "mac", "alias", "uptime"};
const char* const kListHead[] = {"id", "address", "netmask", "gateway", "mac", "alias", "uptime"};
const size_t kListTagCount = sizeof(kListTags) / sizeof(kListTags[0]);

int List(CSearchClient& client, const T_Options& options)
{
    std::vector<uint8_t> tags;
    std::vector<const T_SearchTagInfo*> infos;
    for (const char* name : kListTags) {
        infos.push_back(SearchTagByName(name));
        tags.push_back(infos.back()->u8Tag);
    }
    std::vector<T_Row> rows;
    for (const T_SearchEndpoint& endpoint : client.Survey(tags)) {
        T_Row row = {IdCell(endpoint.u32Id)};
        for (size_t t = 0; t < kListTagCount; ++t)
            row.push_back(ValueCell(infos[t], endpoint.vValues[t]));
        if (row[1].b8Missing)
            row[1] = Text(endpoint.strFrom);
        rows.push_back(std::move(row));
    }
    PrintRows(options, std::vector<std::string>(kListHead, kListHead + kListTagCount + 1), rows);
    ReportDropped(client);
    return rows.empty() ? kExitNone : kExitAnswered;
}

// ---- One item -----------------------------------------------------------------

// A get or set as the command line gives it, checked before anything is sent.
struct T_Item {
    bool b8Write = false;
    uint32_t u32Id = 0;
    const T_SearchTagInfo* pInfo = nullptr;
    std::string strValue;
};

T_Item ParseItem(char** args)
{
    T_Item item;
    item.b8Write = strcmp(args[0], "set") == 0;
    if (!ParseId(args[1], &item.u32Id))
        Usage("ID is a hexadecimal device identifier, or all");
    item.pInfo = ParseTag(args[2]);
    if (item.pInfo == nullptr)
        Usage(std::string("unknown tag ") + args[2]);
    if (!item.b8Write && !item.pInfo->b8Readable)
        Usage(std::string("tag ") + item.pInfo->pName + " cannot be read; readable tags: " + ReadableTags());
    std::string error;
    if (item.b8Write && !SearchValueBytes(item.pInfo, args[3], &item.strValue, &error))
        Usage(error);
    return item;
}

int Item(CSearchClient& client, const T_Options& options, const T_Item& item)
{
    const uint32_t id = item.u32Id;
    const T_SearchTagInfo* info = item.pInfo;
    const char* command = item.b8Write ? "set" : "get";
    std::vector<T_SearchAnswer> answers =
        client.Request(item.b8Write ? QUOR_SEARCH_TYPE_SET : QUOR_SEARCH_TYPE_GET, id, info->u8Tag, item.strValue);
    if (answers.empty()) {
        fprintf(stderr, "velmar-find: no answer from %s to %s %s\n",
                id == 0 ? "any endpoint" : IdCell(id).strText.c_str(), command, info->pName);
        return kExitNone;
    }
    // One endpoint in a table: the value alone.
    if (id != 0 && options.eFormat == kTable) {
        printf("%s\n", SearchEscapedText(SearchValueText(info, answers[0].tRsp), false).c_str());
        return kExitAnswered;
    }
    std::vector<T_Row> rows;
    for (const T_SearchAnswer& answer : answers) {
        T_SearchValue read;
        read.b8Answered = true;
        read.strBytes.assign(answer.tRsp.cContent, answer.tRsp.u8Len);
        T_Cell length = Text(std::to_string(answer.tRsp.u8Len));
        length.b8Number = true;
        rows.push_back({IdCell(answer.tRsp.u32Q7MId), Text(answer.strFrom), Text(info->pName), length,
                        ValueCell(info, read)});
    }
    PrintRows(options, {"id", "address", "tag", "length", "value"}, rows);
    ReportDropped(client);
    return kExitAnswered;
}

int ParseWait(const char* text)
{
    char* end = nullptr;
    long ms = strtol(text, &end, 10);
    if (text[0] == '\0' || *end != '\0' || ms < 1 || ms > 60000)
        Usage("--wait takes 1 to 60000 milliseconds");
    return (int)ms;
}

}  // namespace

int main(int argc, char** argv)
{
    static const struct option kLong[] = {{"to", required_argument, nullptr, 't'},
                                          {"wait", required_argument, nullptr, 'w'},
                                          {"json", no_argument, nullptr, 'j'},
                                          {"csv", no_argument, nullptr, 'c'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    T_Options options;
    int option;
    while ((option = getopt_long(argc, argv, "+t:w:jch", kLong, nullptr)) != -1) {
        switch (option) {
        case 't':
            options.strTo = optarg;
            break;
        case 'w':
            options.s32WaitMs = ParseWait(optarg);
            break;
        case 'j':
        case 'c':
            if (options.eFormat != kTable)
                Usage("--json and --csv exclude each other");
            options.eFormat = option == 'j' ? kJson : kCsv;
            break;
        case 'h':
            PrintUsage(stdout);
            return kExitAnswered;
        default:
            Usage("unknown option");
        }
    }
    const int rest = argc - optind;
    const bool get = rest > 0 && strcmp(argv[optind], "get") == 0, set = rest > 0 && strcmp(argv[optind], "set") == 0;
    if (rest > 0 && !get && !set)
        Usage("the commands are get and set");
    if ((get && rest != 3) || (set && rest != 4))
        Usage(get ? "get takes ID TAG" : "set takes ID TAG VALUE");
    T_Item item;
    if (rest > 0)
        item = ParseItem(argv + optind);
    CSearchClient client(options.strTo, options.s32WaitMs);
    if (!client.Ok()) {
        fprintf(stderr, "velmar-find: %s\n", client.Error().c_str());
        return kExitLocal;
    }
    return rest == 0 ? List(client, options) : Item(client, options, item);
}
