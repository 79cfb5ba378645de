// The endpoint's own state in one read-only reply, for the operator pages'
// overview and header ("commconfig" / "getselfinfo").
#ifndef QUOR_VELMAR_WEBSTATUS_H
#define QUOR_VELMAR_WEBSTATUS_H

#include <cstdint>

class CQuorVelmarHttpConn;

// Answers {"selfinfo":[{...}]} with the own record's identity (alias, MAC,
// address), group state, HDCP, CEC, EDID, automatic switching and update
// states; the values are JSON-escaped.
void QuorWebGetSelfInfo(CQuorVelmarHttpConn& conn, uint16_t& replySent);

#endif
