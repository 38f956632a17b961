#include "portnet/CNetUnreliable.h"

CNetUnreliable::CNetUnreliable() : CNetUnreliable(true) {}

CNetUnreliable::CNetUnreliable(bool interpolate) : CNetData(false), m_interpolate(interpolate) {}

CNetUnreliable::~CNetUnreliable() = default;

// The state and its encoding belong to the host class. The defaults send nothing (a record whose
// Write returns 0 is withdrawn), decode nothing, copy nothing and leave the live object as it is.
int CNetUnreliable::Read(CNetBuf* /*buf*/, CNetUnreliable* /*base*/, CNetClient* /*client*/) {
    return 0;
}

int CNetUnreliable::Interp(float /*t*/, CNetUnreliable* /*from*/, CNetUnreliable* /*to*/,
                           CNetDataPort* /*port*/) {
    return 0;
}

int CNetUnreliable::Write(CNetBuf* /*buf*/, CNetUnreliable* /*base*/, int /*room*/,
                          CNetClient* /*client*/) {
    return 0;
}

int CNetUnreliable::CopyFrom(CNetUnreliable* /*src*/) {
    return 0;
}
