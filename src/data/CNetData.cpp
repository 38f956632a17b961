#include "portnet/CNetData.h"

CNetData::CNetData(bool reliable)
    : m_port_id(-1), m_time(-1), m_init_toggle(0), m_life_time(-1), m_active(false),
      m_reliable(reliable), m_received(false) {}

CNetData::~CNetData() = default;

// The hooks do nothing by default; hosts override the ones they need.
int CNetData::Created() {
    return 0;
}

int CNetData::Destroyed() {
    return 0;
}

// A class used as a history prototype must override this; the base cannot copy a derived state.
CNetData* CNetData::Clone() {
    return nullptr;
}

int CNetData::Update(bool /*interpolate*/) {
    return 0;
}

int CNetData::GetPriority(CNetClient* /*client*/) {
    return 0;
}
