#pragma once

// Everything a host needs: drivers, the datagram buffer, data objects, clients, the manager.
#include "NetAddress.h"
#include "CNetAddr.h" // one address type for IPv4, IPv6 and loopback endpoints
#include "CNetTime.h"
#include "CNetDriver.h"
#include "CNetUDP.h"
#include "CNetImpairedDriver.h" // also brings CNetSim.h: the simulated network
#include "CNetBuf.h"
#include "CNetData.h"
#include "CNetDataRef.h"
#include "CNetDataPort.h"
#include "CNetDataHistory.h"
#include "CNetBlockStream.h"
#include "CNetReliable.h"
#include "CNetUnreliable.h"
#include "CNetBlobState.h" // a state of plain bytes, for hosts without a subclass of their own
#include "CNetClient.h"
#include "CNetManager.h"
#include "CNetPeer.h"
#include "CNetServer.h"       // a host that admits and lets go of peers
#include "CNetConnection.h"   // a game client's connection to its host
#include "CNetRecorder.h"     // a session recorded into a pcapng file
#include "CNetReplayDriver.h" // and played back, checked frame by frame
