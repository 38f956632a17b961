// The handle table, the library-wide calls and the text of codes and addresses.

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "capi/CapiInternal.h"
#include "portnet/CNetImpairedDriver.h"
#include "portnet/CNetTime.h"

// The build gives the project's version; a build of the sources alone (the fuzzers') has the
// header's.
#ifndef PORTNET_LIB_VERSION_MAJOR
#define PORTNET_LIB_VERSION_MAJOR PORTNET_VERSION_MAJOR
#define PORTNET_LIB_VERSION_MINOR PORTNET_VERSION_MINOR
#define PORTNET_LIB_VERSION_PATCH PORTNET_VERSION_PATCH
#endif

namespace portnet_capi {
namespace {

Entry* g_entries = nullptr;
int g_size = 0;
int g_free = -1;
bool g_made_loopback = false;
int g_manual_ms = 0;
char g_error[160] = {};
// Every table starts its slots' generations past every generation an earlier table handed out,
// so a handle kept across portnet_shutdown and portnet_init is stale, never a new object's.
std::uint32_t g_next_gen = 1;

} // namespace

void NoteLoopback() {
    g_made_loopback = true;
}

namespace {

int ManualClock() {
    return g_manual_ms;
}

// Frees what the entry holds and the entry itself; the caller checked that nobody uses it.
void Free(Entry* e) {
    switch (e->m_kind) {
    case PORTNET_KIND_SERVER:
    case PORTNET_KIND_CONNECTION: {
        auto* m = static_cast<CNetManager*>(e->m_object);
        m->Release();
        delete m;
        delete e->m_hub;
        break;
    }
    case PORTNET_KIND_LOOPBACK:
        // Loopback endpoints belong to the library's registry, which frees them at shutdown.
        static_cast<CNetDriver*>(e->m_object)->Shutdown();
        break;
    case PORTNET_KIND_SIM_NETWORK:
        delete static_cast<CNetSimNetwork*>(e->m_object);
        break;
    default:
        delete static_cast<CNetDriver*>(e->m_object);
        break;
    }
    if (e->m_holds >= 0) --g_entries[e->m_holds].m_users;
    const int index = IndexOf(e);
    const std::uint32_t gen = e->m_gen; // the caller stepped it
    *e = Entry{};
    e->m_gen = gen;
    e->m_next_free = g_free;
    g_free = index;
}

} // namespace

bool Initialized() {
    return g_entries != nullptr;
}

int IndexOf(const Entry* e) {
    return static_cast<int>(e - g_entries);
}

Entry* EntryAt(int index) {
    return index >= 0 && index < g_size ? &g_entries[index] : nullptr;
}

portnet_status Lookup(portnet_handle h, unsigned mask, Entry** out) {
    if (!g_entries) return PORTNET_E_NOT_INITIALIZED;
    if (h == PORTNET_NULL_HANDLE) return PORTNET_E_NULL_HANDLE;
    const int index = static_cast<int>(h & 0xffff);
    const int kind = static_cast<int>(h >> 24 & 0xff);
    const auto gen = static_cast<std::uint32_t>(h >> 32);
    if ((h >> 16 & 0xff) != 0 || index >= g_size) return PORTNET_E_STALE_HANDLE;
    Entry* e = &g_entries[index];
    if (e->m_kind == 0 || e->m_gen != gen || e->m_kind != kind) return PORTNET_E_STALE_HANDLE;
    if (!(mask & Bit(kind))) return PORTNET_E_WRONG_KIND;
    *out = e;
    return PORTNET_OK;
}

portnet_status Adopt(void* object, int kind, int holds, portnet_handle* out) {
    if (g_free < 0) return PORTNET_E_TABLE_FULL;
    const int index = g_free;
    Entry* e = &g_entries[index];
    g_free = e->m_next_free;
    e->m_kind = kind;
    e->m_object = object;
    e->m_users = 0;
    e->m_holds = holds;
    e->m_next_free = -1;
    if (holds >= 0) ++g_entries[holds].m_users;
    *out = MakeHandle(e->m_gen, kind, index);
    return PORTNET_OK;
}

void SetError(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(g_error, sizeof g_error, format, args);
    va_end(args);
}

portnet_status ToAddr(const char* text, bool resolve, CNetAddr* out) {
    if (!text) return PORTNET_E_ARGUMENT;
    char err[128] = {};
    const int parsed = resolve ? CNetAddr::Resolve(text, out, err, sizeof err)
                               : CNetAddr::Parse(text, out, err, sizeof err);
    if (parsed != 1) {
        SetError("%s", err);
        return PORTNET_E_ADDRESS;
    }
    return PORTNET_OK;
}

void AddrText(const CNetAddr& addr, char* out, int size) {
    if (addr.ToText(out, size) < 0 && size > 0) out[0] = '\0';
}

} // namespace portnet_capi

using namespace portnet_capi;

extern "C" {

portnet_status portnet_init(int32_t max_handles) {
    if (g_entries) return PORTNET_E_FAILED;
    if (max_handles == 0) max_handles = 1024;
    if (max_handles < 1 || max_handles > 65535) return PORTNET_E_ARGUMENT;
    g_entries = new (std::nothrow) Entry[static_cast<std::size_t>(max_handles)];
    if (!g_entries) return PORTNET_E_NO_MEMORY;
    g_size = max_handles;
    for (int i = 0; i < g_size; ++i) {
        g_entries[i].m_next_free = i + 1 < g_size ? i + 1 : -1;
        g_entries[i].m_gen = g_next_gen;
    }
    g_free = 0;
    return PORTNET_OK;
}

portnet_status portnet_shutdown(void) {
    if (!g_entries) return PORTNET_E_NOT_INITIALIZED;
    // Users before what they use: each pass frees what nobody holds any longer.
    for (bool freed = true; freed;) {
        freed = false;
        for (int i = 0; i < g_size; ++i) {
            Entry* e = &g_entries[i];
            if (e->m_kind != 0 && e->m_users == 0) {
                ++e->m_gen;
                Free(e);
                freed = true;
            }
        }
    }
    for (int i = 0; i < g_size; ++i) {
        const std::uint32_t next = g_entries[i].m_gen + 1;
        if (next - g_next_gen < 0x80000000u) g_next_gen = next; // wraps: never 0
    }
    if (g_next_gen == 0) g_next_gen = 1;
    if (g_made_loopback) ReleaseSystemNetDriver();
    g_made_loopback = false;
    delete[] g_entries;
    g_entries = nullptr;
    g_size = 0;
    g_free = -1;
    return PORTNET_OK;
}

portnet_status portnet_version(int32_t* major, int32_t* minor, int32_t* patch) {
    if (!major || !minor || !patch) return PORTNET_E_ARGUMENT;
    *major = PORTNET_LIB_VERSION_MAJOR;
    *minor = PORTNET_LIB_VERSION_MINOR;
    *patch = PORTNET_LIB_VERSION_PATCH;
    return PORTNET_OK;
}

const char* portnet_status_text(portnet_status code) {
    switch (code) {
    case PORTNET_OK:
        return "ok";
    case PORTNET_NONE:
        return "nothing queued";
    case PORTNET_E_NOT_INITIALIZED:
        return "portnet_init was not called";
    case PORTNET_E_NULL_HANDLE:
        return "null handle";
    case PORTNET_E_STALE_HANDLE:
        return "destroyed or unknown handle";
    case PORTNET_E_WRONG_KIND:
        return "handle of the wrong kind";
    case PORTNET_E_ARGUMENT:
        return "argument out of range or null";
    case PORTNET_E_BUFFER_TOO_SMALL:
        return "buffer too small";
    case PORTNET_E_TABLE_FULL:
        return "handle table full";
    case PORTNET_E_NO_MEMORY:
        return "out of memory";
    case PORTNET_E_ADDRESS:
        return "not an address";
    case PORTNET_E_IN_USE:
        return "still in use";
    case PORTNET_E_NO_PEER:
        return "no such peer";
    case PORTNET_E_QUEUE_FULL:
        return "queue full";
    case PORTNET_E_TOO_BIG:
        return "too big";
    case PORTNET_E_PORT:
        return "port out of range or of another kind";
    case PORTNET_E_FAILED:
        return "failed";
    case PORTNET_E_FRAME:
        return "a frame step failed";
    default:
        return "unknown status";
    }
}

const char* portnet_gone_text(int32_t reason) {
    return NetGoneText(reason);
}

const char* portnet_refusal_text(int32_t reason) {
    return CNetServer::RefusalText(reason);
}

portnet_status portnet_last_error(char* out, int32_t size) {
    if (!out || size < 1) return PORTNET_E_ARGUMENT;
    const std::size_t n = std::strlen(g_error);
    if (n + 1 > static_cast<std::size_t>(size)) return PORTNET_E_BUFFER_TOO_SMALL;
    std::memcpy(out, g_error, n + 1);
    return PORTNET_OK;
}

portnet_status portnet_destroy(portnet_handle h) {
    Entry* e = nullptr;
    const portnet_status s = Lookup(h, ~0u, &e);
    if (s != PORTNET_OK) return s;
    if (e->m_users > 0) return PORTNET_E_IN_USE;
    ++e->m_gen;
    if (e->m_gen == 0) e->m_gen = 1;
    Free(e);
    return PORTNET_OK;
}

portnet_status portnet_handle_kind(portnet_handle h, int32_t* kind) {
    if (!kind) return PORTNET_E_ARGUMENT;
    Entry* e = nullptr;
    const portnet_status s = Lookup(h, ~0u, &e);
    if (s == PORTNET_OK) *kind = e->m_kind;
    return s;
}

portnet_status portnet_time_update(int32_t* now_ms) {
    CNetTime::Update();
    if (now_ms) *now_ms = CNetTime::GetTime();
    return PORTNET_OK;
}

portnet_status portnet_time_manual(int32_t enabled) {
    if (enabled) {
        CNetTime::m_timer_proc = ManualClock;
    } else if (CNetTime::m_timer_proc == ManualClock) {
        CNetTime::m_timer_proc = nullptr;
        CNetTime::Init();
    }
    return PORTNET_OK;
}

portnet_status portnet_time_set(int32_t ms) {
    g_manual_ms = ms;
    return PORTNET_OK;
}

} // extern "C"
