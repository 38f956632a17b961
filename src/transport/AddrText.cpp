#include "transport/AddrText.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace portnet::addrtext {

// Echoed text is cut to this many characters, so that the reason after it still fits a
// buffer of a line.
constexpr int kEchoChars = 40;

namespace {

// The text as a reason repeats it: cut, and with bytes a terminal would act on shown as '?'.
void Echo(const char* text, char* out, std::size_t size) {
    std::size_t n = 0;
    for (; text[n] != '\0' && n < kEchoChars && n + 1 < size; ++n) {
        const unsigned char c = static_cast<unsigned char>(text[n]);
        out[n] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    if (text[n] != '\0' && n + 3 < size) {
        std::memcpy(out + n, "...", 3);
        n += 3;
    }
    out[n] = '\0';
}

} // namespace

// Writes "<text>: <reason>" (the reason alone without text) into err, cut to err_size with the
// zero always inside; nothing without a buffer. Returns -1 for the callers' convenience.
int Refuse(char* err, int err_size, const char* text, const char* format, ...) {
    if (err == nullptr || err_size <= 0) return -1;
    char shown[kEchoChars + 4] = "";
    if (text != nullptr) Echo(text, shown, sizeof shown);
    const std::size_t size = static_cast<std::size_t>(err_size);
    int used = text != nullptr ? std::snprintf(err, size, "%s: ", shown) : 0;
    if (used < 0) used = 0;
    if (static_cast<std::size_t>(used) < size) {
        std::va_list args;
        va_start(args, format);
        std::vsnprintf(err + used, size - static_cast<std::size_t>(used), format, args);
        va_end(args);
    }
    err[size - 1] = '\0';
    return -1;
}

Shown Show(char c) {
    Shown s;
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F)
        std::snprintf(s.text, sizeof s.text, "'%c'", c);
    else
        std::snprintf(s.text, sizeof s.text, "byte 0x%02x", u);
    return s;
}

// One run of decimal digits: its length and its value, which stops growing once above `most`
// (so no run, however long, overflows).
Digits ReadDigits(const char* p, std::uint32_t most) {
    Digits d{0, 0};
    for (; p[d.len] >= '0' && p[d.len] <= '9'; ++d.len)
        if (d.value <= most) d.value = d.value * 10u + static_cast<std::uint32_t>(p[d.len] - '0');
    return d;
}

// The port after the colon, up to the end of the text: the port, or -1 with the reason.
long ReadPort(const char* p, const char* text, char* err, int err_size) {
    const Digits d = ReadDigits(p, 65535);
    if (d.len == 0) {
        if (*p == '\0') return Refuse(err, err_size, text, "missing port");
        return Refuse(err, err_size, text, "port starts with %s, not a digit", Show(*p).text);
    }
    if (d.value > 65535) {
        if (d.len > 10) return Refuse(err, err_size, text, "port %.10s... is above 65535", p);
        return Refuse(err, err_size, text, "port %.*s is above 65535", d.len, p);
    }
    if (d.len > 1 && *p == '0') return Refuse(err, err_size, text, "port has a leading zero");
    if (p[d.len] != '\0')
        return Refuse(err, err_size, text, "%s after the port", Show(p[d.len]).text);
    return static_cast<long>(d.value);
}

} // namespace portnet::addrtext
