// Relaying both ways between the tunnel and a connected target until either
// side ends, then closing both.
#pragma once

#include "server/service.h"

namespace korvan::server {

// Reads what the target has ready, up to a frame's 64511 raw bytes, into
// `block` (cleared first): waits for the first bytes, then takes whatever
// more arrived without waiting. Returns false at the target's end or error.
Task<bool> ReadTargetBlock(beast::tcp_stream& target, Bytes& block);

// `to_target` goes to the target first (what the client sent behind its request).
Task<void> Relay(ServiceContext& context, beast::tcp_stream& target, Bytes to_target);

}  // namespace korvan::server
