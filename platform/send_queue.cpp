#include "platform/send_queue.h"

#include <cstddef>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <linux/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

bool readSendQueueState(Socket s, SendQueueState& state)
{
    int queued = 0;
    if (ioctl(s, SIOCOUTQ, &queued) != 0 || queued < 0) return false;
    state.queued = uint32_t(queued);
    // With nothing queued there is nothing to wait for: the far costlier
    // connection record is read only when data waits.
    state.bytesAcked = 0;
    if (queued == 0) return true;
    struct tcp_info info {};
    socklen_t length = sizeof info;
    if (getsockopt(s, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return false;
    // Older kernels fill a shorter record.
    if (length < offsetof(struct tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
        return false;
    state.bytesAcked = info.tcpi_bytes_acked;
    return true;
}
