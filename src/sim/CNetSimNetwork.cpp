#include "portnet/CNetSim.h"

#include <new>

#include "client/NetWrap.h"
#include "sim/NetSimImpair.h"

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
    std::uint32_t entries = 1;
    while (entries < 2u * static_cast<std::uint32_t>(m_max_endpoints))
        entries <<= 1;
    m_by_id = m_max_endpoints > 0 ? new (std::nothrow) SEndpointEntry[entries]() : nullptr;
    if (m_by_id == nullptr) {
        // An endpoint that could not be found by id could not be reached: no room for any.
        delete[] m_endpoints;
        m_endpoints = nullptr;
        m_max_endpoints = 0;
    }
    m_by_id_mask = entries - 1;
}

CNetSimNetwork::~CNetSimNetwork() {
    // Endpoints outlive their network safely: they are told it is gone.
    for (int i = 0; i < m_endpoint_count; ++i) {
        m_endpoints[i]->m_network = nullptr;
        m_endpoints[i]->m_attached = false;
    }
    delete[] m_endpoints;
    delete[] m_links;
    delete[] m_by_id;
}

void CNetSimNetwork::SetTime(int ms) {
    NetSimSetClock(&m_time, &m_clock_us, ms);
}

void CNetSimNetwork::Advance(int ms) {
    if (ms > 0) SetTime(portnet::WrapAdd(m_time, ms));
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

std::uint32_t CNetSimNetwork::HomeOf(int id) const {
    std::uint32_t h = static_cast<std::uint32_t>(id) * 2654435769u;
    return (h ^ h >> 16) & m_by_id_mask;
}

CNetSimDriver* CNetSimNetwork::FindEndpoint(int id) const {
    if (m_by_id == nullptr) return nullptr;
    for (std::uint32_t i = HomeOf(id); m_by_id[i].m_endpoint; i = (i + 1) & m_by_id_mask)
        if (m_by_id[i].m_id == id) return m_by_id[i].m_endpoint;
    return nullptr;
}

void CNetSimNetwork::IndexEndpoint(CNetSimDriver* endpoint) {
    std::uint32_t i = HomeOf(endpoint->m_endpoint_id);
    while (m_by_id[i].m_endpoint)
        i = (i + 1) & m_by_id_mask;
    m_by_id[i] = SEndpointEntry{endpoint->m_endpoint_id, endpoint};
}

void CNetSimNetwork::UnindexEndpoint(const CNetSimDriver* endpoint) {
    std::uint32_t hole = HomeOf(endpoint->m_endpoint_id);
    while (m_by_id[hole].m_endpoint && m_by_id[hole].m_endpoint != endpoint)
        hole = (hole + 1) & m_by_id_mask;
    if (!m_by_id[hole].m_endpoint) {
        // Its id was changed while attached: found under the id it was attached with.
        hole = 0;
        while (hole <= m_by_id_mask && m_by_id[hole].m_endpoint != endpoint)
            ++hole;
        if (hole > m_by_id_mask) return;
    }
    // Backward shift: a later entry of the run moves into the hole unless its home lies
    // cyclically after the hole, so no probe run is ever broken.
    for (std::uint32_t j = (hole + 1) & m_by_id_mask; m_by_id[j].m_endpoint;
         j = (j + 1) & m_by_id_mask) {
        const std::uint32_t home = HomeOf(m_by_id[j].m_id);
        if (((j - home) & m_by_id_mask) >= ((j - hole) & m_by_id_mask)) {
            m_by_id[hole] = m_by_id[j];
            hole = j;
        }
    }
    m_by_id[hole] = SEndpointEntry{0, nullptr};
}

CNetSimNetwork::SLink* CNetSimNetwork::FindLink(int from_id, int to_id) {
    for (int i = 0; i < m_link_count; ++i)
        if (m_links[i].m_from_id == from_id && m_links[i].m_to_id == to_id) return &m_links[i];
    return nullptr;
}
