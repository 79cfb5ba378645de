// Text helpers of the simulators: escaping bytes for logs and control
// commands, splitting words, case-insensitive comparison, clocks, whole writes.
#ifndef VELMAR_SIM_SIMTEXT_H
#define VELMAR_SIM_SIMTEXT_H

#include <cstdint>
#include <string>
#include <vector>

// Printable ASCII stays as it is (a backslash doubled); CR, LF and TAB become
// \r, \n and \t; every other byte becomes \xNN.
std::string SimEscapeBytes(const std::string& bytes);

// The inverse of SimEscapeBytes, also accepting \0. False on a malformed
// escape (nothing useful is left in *out then).
bool SimUnescapeBytes(const std::string& text, std::string* out);

// Space-separated hexadecimal byte values ("02 00 ff" or "0x02 0x00"):
// false when a piece is not a hexadecimal number of at most two digits.
bool SimParseHexBytes(const std::string& text, std::string* out);

// Bytes as upper-case hexadecimal pairs separated by single spaces.
std::string SimHexBytes(const std::string& bytes);

// Words separated by runs of spaces.
std::vector<std::string> SimSplitWords(const std::string& text);

// Pieces between occurrences of `separator` (at least one piece, maybe empty).
std::vector<std::string> SimSplitOn(const std::string& text, const std::string& separator);

// Words [first, end) joined by single spaces.
std::string SimJoinWords(const std::vector<std::string>& words, size_t first);

std::string SimToUpper(const std::string& text);
bool SimEqualsNoCase(const std::string& a, const std::string& b);

// Leading and trailing spaces, tabs, CR and LF removed.
std::string SimTrim(const std::string& text);

// Reads a non-negative decimal number that fits an int; false otherwise.
bool SimParseCount(const std::string& text, int* value);

// Milliseconds of the monotonic clock.
int64_t SimNowMs();

// Local wall-clock time as "HH:MM:SS.mmm", for the traffic log.
std::string SimClockText();

// Writes all of bytes to a blocking descriptor, again after an interruption;
// false once a write fails or writes nothing.
bool SimWriteAll(int fd, const std::string& bytes);

#endif
