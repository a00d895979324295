#include "platform/send_queue.h"

#include <cstddef>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <linux/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

bool readSendQueueState(Socket s, SendQueueState& state)
{
    struct tcp_info info {};
    socklen_t length = sizeof info;
    if (getsockopt(s, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return false;
    int queued = 0;
    if (ioctl(s, SIOCOUTQ, &queued) != 0 || queued < 0) return false;
    // Older kernels fill a shorter record.
    if (length < offsetof(struct tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
        return false;
    state.bytesAcked = info.tcpi_bytes_acked;
    state.queued = uint32_t(queued);
    return true;
}
