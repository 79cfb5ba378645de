// The value of one hexadecimal digit, for the parsers of hexadecimal text.
#ifndef QUOR_HEXDIGIT_H
#define QUOR_HEXDIGIT_H

// 0 to 15 for '0' to '9', 'a' to 'f' and 'A' to 'F'; -1 for any other byte.
inline int HexDigitValue(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

#endif
