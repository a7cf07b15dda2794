// The socket set: up to 64 descriptors watched for readability.
#include "ZovNet.h"
#include "ZovNetInternal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

ZovSocketSet::ZovSocketSet() : m_set(), m_ready(), m_maxfd(0) {}

void ZovSocketSet::AddSocket(unsigned int s) {
    ZOVNET_ASSERT(s != ZOVNET::BADSOCKET);
    if (s == ZOVNET::BADSOCKET)
        return; // s + 1 would wrap the bound to 0
    if (s >= m_maxfd)
        m_maxfd = s + 1;
    sys::FdSet(s, &m_set);
}

void ZovSocketSet::AddSocket(ZovSocket* s) {
    ZOVNET_ASSERT(s != NULL);
    if (s != nullptr)
        AddSocket(s->Descriptor());
}

void ZovSocketSet::RemoveSocket(unsigned int s) {
    ZOVNET_ASSERT(s != ZOVNET::BADSOCKET);
    sys::FdClr(s, &m_set);
    if (m_maxfd != 0 && s == m_maxfd - 1) {
        // Every registered value lies below the bound, so the next bound is the highest of them
        // plus one: one pass over the table instead of a walk down through every value.
        m_maxfd = 0;
        for (unsigned int i = 0; i < m_set.fd_count; ++i)
            if (m_set.fd_array[i] >= m_maxfd)
                m_maxfd = m_set.fd_array[i] + 1;
    }
}

void ZovSocketSet::RemoveSocket(ZovSocket* s) {
    ZOVNET_ASSERT(s != NULL);
    if (s != nullptr)
        RemoveSocket(s->Descriptor());
}

int ZovSocketSet::CheckSockets() {
    if (m_maxfd == 0)
        return 0;
    int result;
    do {
        errno = 0;
        m_ready = m_set;
        const timeval poll = {0, 0};
        result = sys::select(m_maxfd, &m_ready, &poll);
    } while (errno == EINTR);
    return result;
}

int ZovSocketSet::WaitSockets(unsigned int timeout) {
    if (m_maxfd == 0)
        return 0;
    // A signal interrupts the wait; the retry waits only for what is left of the time-out, so
    // that a steady stream of signals cannot hold the caller for ever. Once it has run out, one
    // last poll still reports what is ready.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
    std::chrono::microseconds left = std::chrono::milliseconds(timeout);
    int result;
    for (;;) {
        errno = 0;
        m_ready = m_set;
        timeval wait;
        wait.tv_sec = static_cast<long>(left.count() / 1000000);
        wait.tv_usec = static_cast<long>(left.count() % 1000000);
        result = sys::select(m_maxfd, &m_ready, timeout != 0 ? &wait : nullptr);
        if (errno != EINTR)
            return result;
        if (timeout != 0) {
            left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
            if (left.count() < 0)
                left = std::chrono::microseconds(0);
        }
    }
}

bool ZovSocketSet::CheckSocket(unsigned int s) const {
    ZOVNET_ASSERT(s != ZOVNET::BADSOCKET);
    return sys::FdIsSet(s, &m_ready);
}

bool ZovSocketSet::CheckSocket(ZovSocket* s) const {
    ZOVNET_ASSERT(s != NULL);
    return s != nullptr && sys::FdIsSet(s->Descriptor(), &m_ready);
}

void ZovSocketSet::PrintInfo() const {
    if (m_maxfd == 0) {
        sys::PrintOut("Empty socket set.\n");
        return;
    }
    // Ascending order of value; every registered value lies below the bound, so sorting the
    // table lists exactly the values a walk from 0 to the bound would find.
    unsigned int values[sys::FD_TABLE_SIZE];
    const unsigned int count = m_set.fd_count;
    std::copy(m_set.fd_array, m_set.fd_array + count, values);
    std::sort(values, values + count);
    sys::PrintOut("Socket set: ");
    for (unsigned int i = 0; i < count; ++i)
        if (values[i] < m_maxfd)
            sys::PrintOut("[%2d] ", static_cast<int>(values[i]));
    sys::PrintOut("\n");
}
