#pragma once
// What the kernel knows about a TCP connection's outgoing data: how much the
// peer has acknowledged and what still waits in our send queue.

#include <cstdint>

#include "platform/net.h"

struct SendQueueState {
    // Acknowledged by the peer since the connection began; read only while
    // data is queued, else 0.
    uint64_t bytesAcked = 0;
    uint32_t queued = 0;       // handed to the kernel and not yet acknowledged
};

// False when the kernel does not say (with data queued: when the socket is
// no TCP socket).
bool readSendQueueState(Socket s, SendQueueState& state);
