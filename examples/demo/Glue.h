#pragma once

// The demo's words for the library's reason codes and its reading of an address, each in one
// function, so every message and every option reads them the same way.

#include "portnet/portnet.h"

namespace demo {

// Why a peer or a host is gone (kNetGone*): its name and what it means, "left (it said
// goodbye)"; never null.
const char* GoneText(int reason);
// Why a CNetServer refused a sender (CNetServer::kRefused*), "full (every slot is taken)";
// never null.
const char* RefusalText(int reason);
// "a.b.c.d:port", "[v6]:port" or "name:port" into *out (when not null); 0.0.0.0, [::] and
// port 0 (any) only with any_port. False, with *out untouched and the reason in why (when not
// null), otherwise.
bool ParseAddress(const char* text, bool any_port, CNetAddr* out, char* why = nullptr,
                  int why_size = 0);
// An address of either family as text, for one line of output.
struct AddrText {
    explicit AddrText(const CNetAddr& addr);
    const char* c_str() const { return m_text; }
    char m_text[CNetAddr::kMaxText];
};

} // namespace demo
