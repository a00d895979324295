#pragma once
// What the kernel knows about a TCP connection's outgoing data: how much the
// peer has acknowledged and what still waits in our send queue.

#include <cstdint>

#include "platform/net.h"

struct SendQueueState {
    uint64_t bytesAcked = 0;   // acknowledged by the peer since the connection began
    uint32_t queued = 0;       // handed to the kernel and not yet acknowledged
};

// False when the socket is no TCP socket or the kernel does not say.
bool readSendQueueState(Socket s, SendQueueState& state);
