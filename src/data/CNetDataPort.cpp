#include "portnet/CNetDataPort.h"

#include "portnet/CNetData.h"
#include "portnet/CNetDataHistory.h"

namespace {

bool SharesWith(const CNetDataPort& a, const CNetDataPort& b) {
    return (a.m_object && a.m_object == b.m_object) ||
           (a.m_reading_history && a.m_reading_history == b.m_reading_history) ||
           (a.m_writing_history && a.m_writing_history == b.m_writing_history);
}

// Deletes what the port owns, skipping anything `keep` still points at. The same history attached
// as both reading and writing history is deleted once.
void ReleaseOwned(CNetDataPort& port, const CNetDataPort* keep) {
    auto kept = [keep](const void* p) {
        return keep && (p == keep->m_object || p == keep->m_reading_history ||
                        p == keep->m_writing_history);
    };
    if (port.m_object && !kept(port.m_object)) delete port.m_object;
    if (port.m_reading_history && !kept(port.m_reading_history)) delete port.m_reading_history;
    if (port.m_writing_history && port.m_writing_history != port.m_reading_history &&
        !kept(port.m_writing_history))
        delete port.m_writing_history;
    port.m_object = nullptr;
    port.m_reading_history = nullptr;
    port.m_writing_history = nullptr;
}

} // namespace

CNetDataPort::CNetDataPort()
    : m_object(nullptr), m_reading_history(nullptr), m_writing_history(nullptr), m_interp_time(-1),
      m_last_time(-1), m_stalled(false), m_interp_data(0), m_read_bytes(0), m_written_bytes(0),
      m_owner(true) {}

CNetDataPort::~CNetDataPort() {
    if (m_owner) ReleaseOwned(*this, nullptr);
}

// A copy shares the object and the histories but does not own them: only the original deletes,
// so nothing is ever deleted twice.
CNetDataPort::CNetDataPort(const CNetDataPort& other)
    : m_object(other.m_object), m_reading_history(other.m_reading_history),
      m_writing_history(other.m_writing_history), m_interp_time(other.m_interp_time),
      m_last_time(other.m_last_time), m_stalled(other.m_stalled),
      m_interp_data(other.m_interp_data), m_read_bytes(other.m_read_bytes),
      m_written_bytes(other.m_written_bytes), m_owner(false) {}

// The target becomes a view of the source. What it owned is deleted first, except what the source
// also points at: assigning a view back to its owner leaves the owner owning.
CNetDataPort& CNetDataPort::operator=(const CNetDataPort& other) {
    if (this == &other) return *this;
    const bool keeps_ownership = m_owner && !other.m_owner && SharesWith(*this, other);
    if (m_owner) ReleaseOwned(*this, &other);
    m_object = other.m_object;
    m_reading_history = other.m_reading_history;
    m_writing_history = other.m_writing_history;
    m_interp_time = other.m_interp_time;
    m_last_time = other.m_last_time;
    m_stalled = other.m_stalled;
    m_interp_data = other.m_interp_data;
    m_read_bytes = other.m_read_bytes;
    m_written_bytes = other.m_written_bytes;
    m_owner = keeps_ownership;
    return *this;
}

void CNetDataPort::InitInterp() {
    m_interp_time = -1;
    m_last_time = -1;
    m_interp_data = 0;
    m_stalled = false;
}
