#include "portnet/CNetSim.h"

#include <new>

#include "transport/NetSimImpair.h"

namespace {

// Table sizes are fixed at creation; a table that cannot be made has no room.
template <typename T> T* MakeTable(int* capacity) {
    if (*capacity < 0) *capacity = 0;
    T* table = *capacity > 0 ? new (std::nothrow) T[static_cast<std::size_t>(*capacity)] : nullptr;
    if (table == nullptr) *capacity = 0;
    return table;
}

} // namespace

CNetSimNetwork::CNetSimNetwork(std::uint64_t seed, int max_endpoints, int max_links)
    : m_rng_state(NetSimSeed(seed)), m_time(0), m_clock_us(0), m_next_order(0), m_endpoint_count(0),
      m_max_endpoints(max_endpoints), m_link_count(0), m_max_links(max_links) {
    m_endpoints = MakeTable<CNetSimDriver*>(&m_max_endpoints);
    m_links = MakeTable<SLink>(&m_max_links);
}

CNetSimNetwork::~CNetSimNetwork() {
    // Endpoints outlive their network safely: they are told it is gone.
    for (int i = 0; i < m_endpoint_count; ++i) {
        m_endpoints[i]->m_network = nullptr;
        m_endpoints[i]->m_attached = false;
    }
    delete[] m_endpoints;
    delete[] m_links;
}

void CNetSimNetwork::SetTime(int ms) {
    NetSimSetClock(&m_time, &m_clock_us, ms);
}

void CNetSimNetwork::Advance(int ms) {
    if (ms > 0)
        SetTime(
            static_cast<int>(static_cast<std::uint32_t>(m_time) + static_cast<std::uint32_t>(ms)));
}

int CNetSimNetwork::SetLinkImpairment(int from_id, int to_id, const SNetImpairment& impairment) {
    SLink* link = FindLink(from_id, to_id);
    if (link == nullptr) {
        if (m_link_count == m_max_links) return -1;
        link = &m_links[m_link_count++];
        link->m_from_id = from_id;
        link->m_to_id = to_id;
        link->m_link_free_us = 0;
    }
    link->m_impairment = impairment;
    return 0;
}

int CNetSimNetwork::ClearLinkImpairment(int from_id, int to_id) {
    SLink* link = FindLink(from_id, to_id);
    if (link == nullptr) return -1;
    *link = m_links[--m_link_count];
    return 0;
}

CNetSimDriver* CNetSimNetwork::FindEndpoint(int id) const {
    for (int i = 0; i < m_endpoint_count; ++i)
        if (m_endpoints[i]->m_endpoint_id == id) return m_endpoints[i];
    return nullptr;
}

CNetSimNetwork::SLink* CNetSimNetwork::FindLink(int from_id, int to_id) {
    for (int i = 0; i < m_link_count; ++i)
        if (m_links[i].m_from_id == from_id && m_links[i].m_to_id == to_id) return &m_links[i];
    return nullptr;
}
