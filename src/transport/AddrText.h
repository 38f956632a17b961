// The pieces every checked parse of address text shares: reasons in one style, digits read
// without overflow, the port after the colon.
#pragma once

#include <cstdint>

namespace portnet::addrtext {

// Writes "<text>: <reason>" (the reason alone without text) into err, cut to err_size with the
// zero always inside; nothing without a buffer. Returns -1 for the callers' convenience.
int Refuse(char* err, int err_size, const char* text, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

// A character as a reason names it: 'x', or its byte when not printable.
struct Shown {
    char text[12];
};
Shown Show(char c);

// One run of decimal digits: its length and its value, which stops growing once above `most`
// (so no run, however long, overflows).
struct Digits {
    int len;
    std::uint32_t value;
};
Digits ReadDigits(const char* p, std::uint32_t most);

// The port after the colon, up to the end of the text: the port, or -1 with the reason.
long ReadPort(const char* p, const char* text, char* err, int err_size);

} // namespace portnet::addrtext
