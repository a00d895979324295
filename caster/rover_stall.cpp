#include "caster/rover_stall.h"

#include "caster/stream_sender.h"
#include "core/records.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/send_queue.h"

bool checkRoverTakesData(int clientIndex, uint32_t now)
{
    Client& c = client[clientIndex];
    bool first = c.takeSampleMs == 0;
    if (!first && clockDiff(now, c.takeSampleMs) < roverTakeSampleMs) return true;
    SendQueueState q;
    // A connection that is no TCP connection is left to the send errors.
    if (!readSendQueueState(c.clientSocket, q)) return true;
    c.takeSampleMs = now == 0 ? 1 : now;

    // The queue moved when the rover acknowledged more since the last look;
    // it acknowledges only what fits its receive buffer, which a rover that
    // does not read never empties.
    bool moved = first || q.queued == 0 || q.bytesAcked != c.lastAckedBytes;
    c.lastAckedBytes = q.bytesAcked;
    if (moved) {
        c.lastTakenMs = now;
        return true;
    }
    if (clockDiff(now, c.lastTakenMs) <= roverStallLimitMs) return true;
    consoleLine("client has taken no data for 30 s, closing connection");
    closeClient(c);
    return false;
}
