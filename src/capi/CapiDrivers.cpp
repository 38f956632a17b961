// Drivers: UDP, loopback, the simulated network and its endpoints, the impairing wrapper.

#include <cstring>
#include <new>

#include "capi/CapiExtension.h"
#include "capi/CapiInternal.h"
#include "portnet/CNetImpairedDriver.h"
#include "portnet/CNetUDP.h"

using namespace portnet_capi;

namespace {

SNetImpairment FromC(const portnet_impairment& c) {
    SNetImpairment i;
    i.m_loss_percent = c.loss_percent;
    i.m_latency_ms = c.latency_ms;
    i.m_jitter_ms = c.jitter_ms;
    i.m_duplicate_percent = c.duplicate_percent;
    i.m_reorder_percent = c.reorder_percent;
    i.m_reorder_delay_ms = c.reorder_delay_ms;
    i.m_bandwidth_bytes_per_s = c.bandwidth_bytes_per_s;
    i.m_max_backlog_ms = c.max_backlog_ms;
    return i;
}

void ToC(const SNetSimStats& s, portnet_sim_stats* out) {
    out->sent = s.m_sent;
    out->delivered = s.m_delivered;
    out->dropped_loss = s.m_dropped_loss;
    out->dropped_queue_full = s.m_dropped_queue_full;
    out->dropped_bandwidth = s.m_dropped_bandwidth;
    out->dropped_unreachable = s.m_dropped_unreachable;
    out->dropped_oversize = s.m_dropped_oversize;
    out->duplicated = s.m_duplicated;
    out->delayed = s.m_delayed;
    out->reordered = s.m_reordered;
    out->send_failed = s.m_send_failed;
}

// Takes a driver made here into the table, or deletes it.
portnet_status Keep(CNetDriver* d, int kind, int holds, portnet_handle* out) {
    const portnet_status s = Adopt(d, kind, holds, out);
    if (s != PORTNET_OK) delete d;
    return s;
}

} // namespace

extern "C" {

portnet_status portnet_udp_create(const char* bind, portnet_handle* out) {
    if (!Initialized()) return PORTNET_E_NOT_INITIALIZED;
    if (!bind || !out) return PORTNET_E_ARGUMENT;
    *out = PORTNET_NULL_HANDLE;
    auto* udp = new (std::nothrow) CNetUDP(bind);
    if (!udp) return PORTNET_E_NO_MEMORY;
    if (udp->Init() != 0) {
        SetError("%s", udp->GetError()[0] ? udp->GetError() : "the UDP socket could not be opened");
        delete udp;
        // Text that names no address is the caller's to mend, as for portnet_connect; only a
        // failed bind's text is asked of the resolver again, so a good one costs nothing more.
        bool port_only = bind[0] != '\0';
        for (const char* c = bind; *c; ++c)
            port_only = port_only && *c >= '0' && *c <= '9';
        CNetAddr addr;
        char err[128] = {};
        if (!port_only && CNetAddr::Resolve(bind, &addr, err, sizeof err) != 1)
            return PORTNET_E_ADDRESS;
        return PORTNET_E_FAILED;
    }
    return Keep(udp, PORTNET_KIND_UDP, -1, out);
}

portnet_status portnet_loopback_create(int32_t id, portnet_handle* out) {
    if (!Initialized()) return PORTNET_E_NOT_INITIALIZED;
    if (!out || id < 0 || id > 65535) return PORTNET_E_ARGUMENT;
    *out = PORTNET_NULL_HANDLE;
    CNetDriver* d = GetSystemNetDriver(kNetDriverLocal, id);
    if (!d) return PORTNET_E_NO_MEMORY;
    NoteLoopback();
    if (d->Init() != 0) {
        SetError("LOCAL:%d: the id is taken", static_cast<int>(id));
        return PORTNET_E_FAILED; // the registry frees it at shutdown
    }
    const portnet_status s = Adopt(d, PORTNET_KIND_LOOPBACK, -1, out);
    if (s != PORTNET_OK) d->Shutdown();
    return s;
}

portnet_status portnet_sim_network_create(uint64_t seed, int32_t max_endpoints,
                                          portnet_handle* out) {
    if (!Initialized()) return PORTNET_E_NOT_INITIALIZED;
    if (!out || max_endpoints < 0 || max_endpoints > 65536) return PORTNET_E_ARGUMENT;
    *out = PORTNET_NULL_HANDLE;
    if (max_endpoints == 0) max_endpoints = CNetSimNetwork::kDefaultMaxEndpoints;
    auto* net = new (std::nothrow) CNetSimNetwork(seed, max_endpoints);
    if (!net || !net->m_endpoints) {
        delete net;
        return PORTNET_E_NO_MEMORY;
    }
    const portnet_status s = Adopt(net, PORTNET_KIND_SIM_NETWORK, -1, out);
    if (s != PORTNET_OK) delete net;
    return s;
}

portnet_status portnet_sim_endpoint_create(portnet_handle network, int32_t id, int32_t queue_depth,
                                           portnet_handle* out) {
    Entry* e = nullptr;
    const portnet_status s = Lookup(network, Bit(PORTNET_KIND_SIM_NETWORK), &e);
    if (s != PORTNET_OK) return s;
    if (!out || id < 0 || id > 65535 || queue_depth < 0 || queue_depth > 65536)
        return PORTNET_E_ARGUMENT;
    *out = PORTNET_NULL_HANDLE;
    if (queue_depth == 0) queue_depth = CNetSimDriver::kDefaultQueueDepth;
    auto* d = new (std::nothrow)
        CNetSimDriver(static_cast<CNetSimNetwork*>(e->m_object), id, queue_depth);
    if (!d) return PORTNET_E_NO_MEMORY;
    if (d->Init() != 0) {
        SetError("LOCAL:%d: the id is taken or the network is full", static_cast<int>(id));
        delete d;
        return PORTNET_E_FAILED;
    }
    return Keep(d, PORTNET_KIND_SIM_ENDPOINT, IndexOf(e), out);
}

portnet_status portnet_impaired_create(portnet_handle inner, uint64_t seed, int32_t queue_depth,
                                       portnet_handle* out) {
    Entry* e = nullptr;
    const portnet_status s = Lookup(inner, kAnyDriver, &e);
    if (s != PORTNET_OK) return s;
    if (!out || queue_depth < 0 || queue_depth > 65536) return PORTNET_E_ARGUMENT;
    *out = PORTNET_NULL_HANDLE;
    if (e->m_users > 0) return PORTNET_E_IN_USE;
    if (queue_depth == 0) queue_depth = CNetImpairedDriver::kDefaultQueueDepth;
    auto* d = new (std::nothrow)
        CNetImpairedDriver(static_cast<CNetDriver*>(e->m_object), seed, queue_depth);
    if (!d) return PORTNET_E_NO_MEMORY;
    if (!d->m_queue) {
        delete d;
        return PORTNET_E_NO_MEMORY;
    }
    // The wrapped driver is open already: no Init here, which would open it anew.
    return Keep(d, PORTNET_KIND_IMPAIRED, IndexOf(e), out);
}

portnet_status portnet_set_impairment(portnet_handle driver, const portnet_impairment* impairment) {
    Entry* e = nullptr;
    const portnet_status s =
        Lookup(driver, Bit(PORTNET_KIND_SIM_ENDPOINT) | Bit(PORTNET_KIND_IMPAIRED), &e);
    if (s != PORTNET_OK) return s;
    if (!impairment) return PORTNET_E_ARGUMENT;
    if (e->m_kind == PORTNET_KIND_SIM_ENDPOINT)
        static_cast<CNetSimDriver*>(e->m_object)->m_impairment = FromC(*impairment);
    else
        static_cast<CNetImpairedDriver*>(e->m_object)->m_impairment = FromC(*impairment);
    return PORTNET_OK;
}

portnet_status portnet_sim_link_impairment(portnet_handle network, int32_t from_id, int32_t to_id,
                                           const portnet_impairment* impairment) {
    Entry* e = nullptr;
    const portnet_status s = Lookup(network, Bit(PORTNET_KIND_SIM_NETWORK), &e);
    if (s != PORTNET_OK) return s;
    if (!impairment) return PORTNET_E_ARGUMENT;
    auto* net = static_cast<CNetSimNetwork*>(e->m_object);
    return net->SetLinkImpairment(from_id, to_id, FromC(*impairment)) == 0 ? PORTNET_OK
                                                                           : PORTNET_E_QUEUE_FULL;
}

portnet_status portnet_sim_clear_link(portnet_handle network, int32_t from_id, int32_t to_id) {
    Entry* e = nullptr;
    const portnet_status s = Lookup(network, Bit(PORTNET_KIND_SIM_NETWORK), &e);
    if (s != PORTNET_OK) return s;
    auto* net = static_cast<CNetSimNetwork*>(e->m_object);
    return net->ClearLinkImpairment(from_id, to_id) == 0 ? PORTNET_OK : PORTNET_E_ARGUMENT;
}

portnet_status portnet_sim_set_time(portnet_handle h, int32_t ms) {
    Entry* e = nullptr;
    const portnet_status s =
        Lookup(h, Bit(PORTNET_KIND_SIM_NETWORK) | Bit(PORTNET_KIND_IMPAIRED), &e);
    if (s != PORTNET_OK) return s;
    if (e->m_kind == PORTNET_KIND_SIM_NETWORK)
        static_cast<CNetSimNetwork*>(e->m_object)->SetTime(ms);
    else
        static_cast<CNetImpairedDriver*>(e->m_object)->SetTime(ms);
    return PORTNET_OK;
}

portnet_status portnet_sim_advance(portnet_handle h, int32_t ms) {
    Entry* e = nullptr;
    const portnet_status s =
        Lookup(h, Bit(PORTNET_KIND_SIM_NETWORK) | Bit(PORTNET_KIND_IMPAIRED), &e);
    if (s != PORTNET_OK) return s;
    if (ms < 0) return PORTNET_E_ARGUMENT;
    if (e->m_kind == PORTNET_KIND_SIM_NETWORK)
        static_cast<CNetSimNetwork*>(e->m_object)->Advance(ms);
    else
        static_cast<CNetImpairedDriver*>(e->m_object)->Advance(ms);
    return PORTNET_OK;
}

portnet_status portnet_get_sim_stats(portnet_handle h, portnet_sim_stats* out) {
    Entry* e = nullptr;
    const portnet_status s = Lookup(h,
                                    Bit(PORTNET_KIND_SIM_NETWORK) | Bit(PORTNET_KIND_SIM_ENDPOINT) |
                                        Bit(PORTNET_KIND_IMPAIRED),
                                    &e);
    if (s != PORTNET_OK) return s;
    if (!out) return PORTNET_E_ARGUMENT;
    if (e->m_kind == PORTNET_KIND_SIM_NETWORK)
        ToC(static_cast<CNetSimNetwork*>(e->m_object)->m_stats, out);
    else if (e->m_kind == PORTNET_KIND_SIM_ENDPOINT)
        ToC(static_cast<CNetSimDriver*>(e->m_object)->m_stats, out);
    else
        ToC(static_cast<CNetImpairedDriver*>(e->m_object)->m_stats, out);
    return PORTNET_OK;
}

portnet_status portnet_driver_address(portnet_handle driver, char* out, int32_t size) {
    Entry* e = nullptr;
    const portnet_status s = Lookup(driver, kAnyDriver, &e);
    if (s != PORTNET_OK) return s;
    if (!out || size < 1) return PORTNET_E_ARGUMENT;
    const char* raw = static_cast<CNetDriver*>(e->m_object)->GetAddr();
    if (!raw) raw = "";
    // Printed the one way CNetAddr prints, whatever form the driver keeps; a UDP socket as it is
    // bound ("[::]:4000" for a dual-stack one, where GetAddr keeps IPv4's "0.0.0.0:4000").
    CNetAddr addr;
    char text[CNetAddr::kMaxText];
    if (e->m_kind == PORTNET_KIND_UDP) {
        addr = static_cast<CNetUDP*>(e->m_object)->GetLocalAddr();
        if (addr.ToText(text, sizeof text) > 0) raw = text;
    } else if (CNetAddr::Parse(raw, &addr, nullptr, 0) == 1 && addr.ToText(text, sizeof text) > 0) {
        raw = text;
    }
    const std::size_t n = std::strlen(raw);
    if (n + 1 > static_cast<std::size_t>(size)) return PORTNET_E_BUFFER_TOO_SMALL;
    std::memcpy(out, raw, n + 1);
    return PORTNET_OK;
}

} // extern "C"

extern "C" {

portnet_status portnet_ext_adopt_driver(void* driver, int32_t kind, portnet_handle inner,
                                        portnet_handle* out) {
    auto* d = static_cast<CNetDriver*>(driver);
    if (!Initialized()) {
        delete d;
        return PORTNET_E_NOT_INITIALIZED;
    }
    if (!d || !out || !(kAnyDriver & Bit(kind))) {
        delete d;
        return PORTNET_E_ARGUMENT;
    }
    int holds = -1;
    if (inner != PORTNET_NULL_HANDLE) {
        Entry* e = nullptr;
        const portnet_status s = Lookup(inner, kAnyDriver, &e);
        if (s != PORTNET_OK) {
            delete d;
            return s;
        }
        if (e->m_users > 0) {
            delete d;
            return PORTNET_E_IN_USE;
        }
        holds = IndexOf(e);
    }
    return Keep(d, kind, holds, out);
}

portnet_status portnet_ext_driver(portnet_handle h, int32_t kind, void** out) {
    Entry* e = nullptr;
    const portnet_status s = Lookup(h, kind == 0 ? kAnyDriver : Bit(kind) & kAnyDriver, &e);
    if (s != PORTNET_OK) return s;
    if (!out) return PORTNET_E_ARGUMENT;
    *out = e->m_object;
    return PORTNET_OK;
}

portnet_status portnet_ext_wrappable(portnet_handle h, void** out) {
    Entry* e = nullptr;
    const portnet_status s = Lookup(h, kAnyDriver, &e);
    if (s != PORTNET_OK) return s;
    if (!out) return PORTNET_E_ARGUMENT;
    if (e->m_users > 0) return PORTNET_E_IN_USE;
    *out = e->m_object;
    return PORTNET_OK;
}

void portnet_ext_set_error(const char* text) {
    SetError("%s", text ? text : "");
}

} // extern "C"
