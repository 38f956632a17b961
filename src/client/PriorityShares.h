#pragma once

class CNetClient;
class CNetData;

// Priority shares: how a client with m_priority_aging on divides a packet too small for every
// port among its unreliable states and blocks. Off (aging off, or m_share_halving 0), every
// call leaves the writer's order and room as they are.
namespace portnet {

// Whether the shares decide the order of client's packets.
bool SharesOn(const CNetClient* client);

// Before the records of a packet: list holds the count shared ports (states and blocks) in
// the writer's order, largest priority first, priorities[i] the priority of list[i]. Reorders
// list into the order their turns come and notes each port's place and share.
void SharesOrder(CNetClient* client, CNetData** list, const int* priorities, int count);

// At port's turn in the packet: the bytes its record may take, at most room. A block (whose
// record takes any amount) asks for its grant here; a state's record is whole or nothing.
int SharesGrant(const CNetClient* client, int port, int room);

// After port's turn: bytes its record took (port byte included; 0 none), and whether it had
// more than it got (a state left out, a block with fragments still waiting).
void SharesUsed(CNetClient* client, int port, int bytes, bool wanted_more);

// After the last record of the packet, whether it goes out or not.
void SharesEnd(CNetClient* client);

} // namespace portnet
