#pragma once

// Everything the library exports carries PORTNET_API; the rest is hidden
// (the library is built with -fvisibility=hidden).
#if defined(__GNUC__) || defined(__clang__)
#define PORTNET_API __attribute__((visibility("default")))
#else
#define PORTNET_API
#endif
