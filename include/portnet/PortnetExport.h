#pragma once

// Everything the library exports carries PORTNET_API; the rest is hidden (the library is
// built with -fvisibility=hidden on ELF; on Windows only what is marked leaves portnet.dll).
// The library's own build defines PORTNET_BUILDING_LIBRARY.
#if defined(_WIN32)
#if defined(PORTNET_BUILDING_LIBRARY)
#define PORTNET_API __declspec(dllexport)
#else
#define PORTNET_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define PORTNET_API __attribute__((visibility("default")))
#else
#define PORTNET_API
#endif
