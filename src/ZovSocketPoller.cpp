// The socket poller: readiness of any number of sockets on the system's scalable mechanism.
#include "ZovNet.h"
#include "ZovNetInternal.h"

// Placeholder until the poller lands: it refuses everything.
ZovSocketPoller::ZovSocketPoller() : m_state(nullptr) {}
ZovSocketPoller::~ZovSocketPoller() = default;
bool ZovSocketPoller::Valid() const {
    return false;
}
void ZovSocket::LeavePollers() {}
void ZovSocketPoller::Forget(ZovSocket*) {}
