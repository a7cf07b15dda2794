// The socket base: the descriptor, its options and the shutting of directions.
#include "ZovNet.h"
#include "ZovSocketSupport.h"

ZovSocket::ZovSocket()
    : m_descriptor(ZOVNET::BADSOCKET), m_port(0), m_state(SOCK_CLOSED), m_blocking(true),
      m_ipv6(false), m_pollers(nullptr) {}

ZovSocket::~ZovSocket() {
    LeavePollers();
    // A socket that never opened has nothing to close, and the failed close would be taken for
    // the thread's last error.
    if (m_descriptor != ZOVNET::BADSOCKET)
        sys::closesocket(m_descriptor);
}

namespace {

// The system's number for one of the library's option names; any other number is the system's own.
int SystemOption(int option) {
    switch (option) {
    case ZOVNET::OPT_RCVTIMEO:
        return SO_RCVTIMEO;
    case ZOVNET::OPT_SNDTIMEO:
        return SO_SNDTIMEO;
    case ZOVNET::OPT_RCVBUF:
        return SO_RCVBUF;
    case ZOVNET::OPT_SNDBUF:
        return SO_SNDBUF;
    case ZOVNET::OPT_KEEPALIVE:
        return SO_KEEPALIVE;
    case ZOVNET::OPT_REUSEADDR:
        return SO_REUSEADDR;
    case ZOVNET::OPT_BROADCAST:
        return SO_BROADCAST;
    default:
        return option;
    }
}

} // namespace

bool ZovSocket::GetOption(int option, int& value) {
    int v = 0;
    int len = 4;
    if (sys::getsockopt(m_descriptor, SOL_SOCKET, SystemOption(option), &v, &len) != 0)
        return false;
    value = v;
    return true;
}

bool ZovSocket::SetOption(int option, int value) {
    return sys::setsockopt(m_descriptor, SOL_SOCKET, SystemOption(option), &value, 4) == 0;
}

void ZovSocket::ShutDown(SockState how) {
    if (how == SOCK_CLOSED)
        return;
    if ((how == SOCK_RECEIVE || how == SOCK_SEND) && (m_state & how) == 0)
        return;
    if (sys::shutdown(m_descriptor, static_cast<int>(how) - 1) == 0)
        m_state = static_cast<unsigned short>(m_state & ~static_cast<unsigned int>(how));
    if (m_state == SOCK_CLOSED) {
        LeavePollers();
        sys::closesocket(m_descriptor);
        m_descriptor = ZOVNET::BADSOCKET;
    }
}

bool ZovSocket::SetBlocking(bool blocking) {
    if (m_descriptor == ZOVNET::BADSOCKET)
        return ZovNetFail(WSAENOTSOCK, false);
    if (sys::setblocking(m_descriptor, blocking) != 0)
        return false;
    m_blocking = blocking;
    // What a TCP client queued while it was non-blocking goes out before any blocking send, so
    // that no send ever overtakes it and a blocking object holds no queue.
    if (blocking) {
        ZovTCPSocketClient* client = dynamic_cast<ZovTCPSocketClient*>(this);
        if (client != nullptr && client->Queued() != 0)
            client->Flush();
    }
    return true;
}
