// The socket poller: readiness of any number of sockets on the system's scalable mechanism.
#include "ZovNet.h"
#include "ZovNetInternal.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <unordered_map>
#include <vector>

namespace {

constexpr unsigned int kAllEvents =
    ZOVNET::POLL_RECEIVE | ZOVNET::POLL_SEND | ZOVNET::POLL_CLOSED | ZOVNET::POLL_ERROR;
constexpr unsigned int kAlwaysReported = ZOVNET::POLL_CLOSED | ZOVNET::POLL_ERROR;

// A successful call leaves the thread's last error as it was, also when it asked the system
// something on the way whose refusal changes nothing for the caller.
class KeepLastError {
public:
    KeepLastError() : m_code(sys::LibraryError()) {}
    ~KeepLastError() { sys::SetLibraryError(m_code); }
    KeepLastError(const KeepLastError&) = delete;
    KeepLastError& operator=(const KeepLastError&) = delete;

private:
    int m_code;
};

} // namespace

// A socket's side: the pollers it was added to through its pointer, each with the descriptor
// it was registered under (the descriptor may be gone by the time the socket leaves).
struct ZovPollerLinks {
    struct Link {
        ZovSocketPoller* poller;
        unsigned int descriptor;
    };
    std::vector<Link> links;
};

// The poller's side. The system's registrations carry (generation << 32 | descriptor): a result
// whose generation is not that of the descriptor's current registration belongs to a registration
// that is gone (a descriptor number closed and reused, or a copy of a closed descriptor that keeps
// the system's registration alive) and is dropped.
struct ZovPollerState {
    struct Registration {
        unsigned int events;
        void* tag;
        ZovSocket* socket; // null for a descriptor added by number
        unsigned int generation;
        // Where this registration's entry lies among the current results, valid while `serial`
        // is the current wait's: a removal or change during the handling reaches the entry.
        unsigned long long serial;
        int index;
    };

    sys::SystemPoller* system = nullptr;
    int createError = 0;
    std::unordered_map<unsigned int, Registration> registry;
    unsigned int nextGeneration = 0;
    unsigned long long serial = 0;
    std::vector<sys::PolledEvent> kernel;
    std::vector<ZovPollEvent> results; // the entries of the last wait; never shrinks
    int count = 0;                     // how many of them the last wait returned
};

namespace {

unsigned long long Token(unsigned int generation, unsigned int descriptor) {
    return static_cast<unsigned long long>(generation) << 32 | descriptor;
}

unsigned int SystemEvents(unsigned int events) {
    return events & (ZOVNET::POLL_RECEIVE | ZOVNET::POLL_SEND);
}

} // namespace

ZovSocketPoller::ZovSocketPoller() : m_state(new (std::nothrow) ZovPollerState) {
    if (m_state != nullptr)
        m_state->system = sys::pollercreate();
    if (m_state == nullptr || m_state->system == nullptr) {
        if (m_state == nullptr)
            sys::SetLibraryError(WSAENOBUFS);
        else
            m_state->createError = sys::LibraryError();
        ZovNetWarning("Can not create socket poller");
    }
}

ZovSocketPoller::~ZovSocketPoller() {
    if (m_state == nullptr)
        return;
    for (auto& entry : m_state->registry) {
        ZovSocket* s = entry.second.socket;
        if (s == nullptr || s->m_pollers == nullptr)
            continue;
        auto& links = s->m_pollers->links;
        links.erase(
            std::remove_if(links.begin(), links.end(),
                           [this](const ZovPollerLinks::Link& l) { return l.poller == this; }),
            links.end());
        if (links.empty()) {
            delete s->m_pollers;
            s->m_pollers = nullptr;
        }
    }
    if (m_state->system != nullptr)
        sys::pollerclose(m_state->system);
    delete m_state;
}

bool ZovSocketPoller::Valid() const {
    return m_state != nullptr && m_state->system != nullptr;
}

bool ZovSocketPoller::AddSocket(ZovSocket* s, unsigned int events, void* tag) {
    if (s == nullptr)
        return ZovNetFail(ZOVNET::ERRCODE_NULL_ARGUMENT, false);
    if (!AddDescriptor(s->Descriptor(), events, tag, s))
        return false;
    if (s->m_pollers == nullptr) {
        s->m_pollers = new (std::nothrow) ZovPollerLinks;
        if (s->m_pollers == nullptr) {
            // Without the link the socket could not leave on its own: take it out again.
            Unregister(s->Descriptor());
            return ZovNetFail(WSAENOBUFS, false);
        }
    }
    s->m_pollers->links.push_back({this, s->Descriptor()});
    return true;
}

bool ZovSocketPoller::AddSocket(unsigned int descriptor, unsigned int events, void* tag) {
    return AddDescriptor(descriptor, events, tag, nullptr);
}

bool ZovSocketPoller::AddDescriptor(unsigned int descriptor, unsigned int events, void* tag,
                                    ZovSocket* s) {
    if (!Valid())
        return ZovNetFail(m_state != nullptr ? m_state->createError : WSAENOBUFS, false);
    if (descriptor == ZOVNET::BADSOCKET)
        return ZovNetFail(WSAENOTSOCK, false);
    if ((events & ~kAllEvents) != 0)
        return ZovNetFail(ZOVNET::ERRCODE_INVALID_ARGUMENT, false);
    ZovPollerState& st = *m_state;
    if (st.registry.count(descriptor) != 0)
        return ZovNetFail(ZOVNET::ERRCODE_ALREADY_REGISTERED, false);

    // Room for every registration and the wake in one wait, made now so that the waits never
    // allocate.
    const std::size_t room = st.registry.size() + 2;
    if (st.kernel.size() < room)
        st.kernel.resize(std::max(room, st.kernel.size() * 2));
    if (st.results.size() < room)
        st.results.resize(std::max(room, st.results.size() * 2));

    if (++st.nextGeneration == 0) // 0 marks nothing, but keeps tokens apart from a fresh start
        ++st.nextGeneration;
    const unsigned int generation = st.nextGeneration;
    if (sys::polleradd(st.system, descriptor, SystemEvents(events),
                       Token(generation, descriptor)) != 0)
        return false;
    st.registry[descriptor] = {events, tag, s, generation, 0, 0};
    return true;
}

bool ZovSocketPoller::ModifySocket(ZovSocket* s, unsigned int events) {
    if (s == nullptr)
        return ZovNetFail(ZOVNET::ERRCODE_NULL_ARGUMENT, false);
    return Modify(s->Descriptor(), events, false, nullptr);
}

bool ZovSocketPoller::ModifySocket(ZovSocket* s, unsigned int events, void* tag) {
    if (s == nullptr)
        return ZovNetFail(ZOVNET::ERRCODE_NULL_ARGUMENT, false);
    return Modify(s->Descriptor(), events, true, tag);
}

bool ZovSocketPoller::ModifySocket(unsigned int descriptor, unsigned int events) {
    return Modify(descriptor, events, false, nullptr);
}

bool ZovSocketPoller::ModifySocket(unsigned int descriptor, unsigned int events, void* tag) {
    return Modify(descriptor, events, true, tag);
}

bool ZovSocketPoller::Modify(unsigned int descriptor, unsigned int events, bool newTag, void* tag) {
    if (!Valid())
        return ZovNetFail(m_state != nullptr ? m_state->createError : WSAENOBUFS, false);
    if ((events & ~kAllEvents) != 0)
        return ZovNetFail(ZOVNET::ERRCODE_INVALID_ARGUMENT, false);
    ZovPollerState& st = *m_state;
    if (descriptor == ZOVNET::BADSOCKET)
        return ZovNetFail(WSAENOTSOCK, false);
    const auto it = st.registry.find(descriptor);
    if (it == st.registry.end())
        return ZovNetFail(ZOVNET::ERRCODE_INVALID_ARGUMENT, false);
    ZovPollerState::Registration& r = it->second;
    if (SystemEvents(events) != SystemEvents(r.events) &&
        sys::pollermodify(st.system, descriptor, SystemEvents(events),
                          Token(r.generation, descriptor)) != 0)
        return false;
    r.events = events;
    if (newTag)
        r.tag = tag;
    // An entry of the wait being handled follows the change: it reports only what is asked for
    // now, under the tag that is current.
    if (r.serial == st.serial && r.index < st.count) {
        ZovPollEvent& e = st.results[static_cast<std::size_t>(r.index)];
        e.events &= events | kAlwaysReported;
        e.tag = e.events != 0 ? r.tag : nullptr;
    }
    return true;
}

bool ZovSocketPoller::RemoveSocket(ZovSocket* s) {
    if (s == nullptr)
        return ZovNetFail(ZOVNET::ERRCODE_NULL_ARGUMENT, false);
    return RemoveSocket(s->Descriptor());
}

bool ZovSocketPoller::RemoveSocket(unsigned int descriptor) {
    if (!Valid())
        return ZovNetFail(m_state != nullptr ? m_state->createError : WSAENOBUFS, false);
    if (descriptor == ZOVNET::BADSOCKET)
        return ZovNetFail(WSAENOTSOCK, false);
    const auto it = m_state->registry.find(descriptor);
    if (it == m_state->registry.end())
        return ZovNetFail(ZOVNET::ERRCODE_INVALID_ARGUMENT, false);
    if (ZovSocket* s = it->second.socket)
        Unlink(s);
    Unregister(descriptor);
    return true;
}

unsigned int ZovSocketPoller::Count() const {
    return m_state != nullptr ? static_cast<unsigned int>(m_state->registry.size()) : 0;
}

// Takes this poller out of the socket's links (the registration stays).
void ZovSocketPoller::Unlink(ZovSocket* s) {
    if (s->m_pollers == nullptr)
        return;
    auto& links = s->m_pollers->links;
    for (std::size_t i = 0; i < links.size(); ++i) {
        if (links[i].poller == this) {
            links.erase(links.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
    if (links.empty()) {
        delete s->m_pollers;
        s->m_pollers = nullptr;
    }
}

// Drops the registration of `descriptor` (which exists) from the system and from the registry,
// and empties its entry among the results being handled.
void ZovSocketPoller::Unregister(unsigned int descriptor) {
    ZovPollerState& st = *m_state;
    const auto it = st.registry.find(descriptor);
    const ZovPollerState::Registration& r = it->second;
    if (r.serial == st.serial && r.index < st.count) {
        ZovPollEvent& e = st.results[static_cast<std::size_t>(r.index)];
        e.events = 0;
        e.tag = nullptr;
    }
    {
        // A descriptor added by number may have been closed already: the system has then
        // forgotten it itself, and the removal is done all the same.
        KeepLastError keep;
        sys::pollerremove(st.system, descriptor);
    }
    st.registry.erase(it);
}

void ZovSocketPoller::Forget(ZovSocket* s) {
    if (m_state == nullptr || s->m_pollers == nullptr)
        return;
    unsigned int descriptor = ZOVNET::BADSOCKET;
    for (const ZovPollerLinks::Link& l : s->m_pollers->links)
        if (l.poller == this)
            descriptor = l.descriptor;
    Unlink(s);
    const auto it = m_state->registry.find(descriptor);
    if (it != m_state->registry.end() && it->second.socket == s)
        Unregister(descriptor);
}

void ZovSocket::LeavePollers() {
    while (m_pollers != nullptr && !m_pollers->links.empty())
        m_pollers->links.back().poller->Forget(this);
    delete m_pollers;
    m_pollers = nullptr;
}

int ZovSocketPoller::WaitSockets(int timeout) {
    using Clock = std::chrono::steady_clock;
    if (!Valid())
        return ZovNetFail(m_state != nullptr ? m_state->createError : WSAENOBUFS, -1);
    ZovPollerState& st = *m_state;
    st.count = 0;
    ++st.serial;
    if (st.kernel.empty()) {
        // An empty poller that never had a registration still takes its wake.
        st.kernel.resize(1);
        st.results.resize(1);
    }
    // Only a bounded wait that must go on after an interruption needs the clock.
    const Clock::time_point deadline =
        timeout > 0 ? Clock::now() + std::chrono::milliseconds(timeout) : Clock::time_point();
    int wait = timeout < 0 ? -1 : timeout;
    for (;;) {
        bool woken = false;
        const int n = sys::pollerwait(st.system, st.kernel.data(),
                                      static_cast<int>(st.kernel.size()), wait, &woken);
        if (n < 0 && sys::LibraryError() != WSAEINTR)
            return -1;
        for (int k = 0; k < n; ++k) {
            const unsigned long long token = st.kernel[static_cast<std::size_t>(k)].token;
            const unsigned int descriptor = static_cast<unsigned int>(token & 0xFFFFFFFFu);
            const auto it = st.registry.find(descriptor);
            if (it == st.registry.end())
                continue;
            ZovPollerState::Registration& r = it->second;
            if (r.generation != static_cast<unsigned int>(token >> 32) || r.serial == st.serial)
                continue;
            const unsigned int events =
                st.kernel[static_cast<std::size_t>(k)].events & (r.events | kAlwaysReported);
            if (events == 0)
                continue;
            r.serial = st.serial;
            r.index = st.count;
            st.results[static_cast<std::size_t>(st.count++)] = {descriptor, events, r.tag};
        }
        if (st.count > 0 || woken || n == 0)
            return st.count;
        // Interrupted, or every result belonged to a registration that is gone: the wait goes
        // on for what is left of its time.
        if (timeout >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - Clock::now() + std::chrono::microseconds(999));
            if (left.count() <= 0 || timeout == 0)
                return 0;
            wait = static_cast<int>(left.count());
        }
    }
}

int ZovSocketPoller::CheckSockets() {
    return WaitSockets(0);
}

ZovPollEvent ZovSocketPoller::Ready(int i) const {
    if (m_state == nullptr || i < 0 || i >= m_state->count)
        return {ZOVNET::BADSOCKET, 0, nullptr};
    return m_state->results[static_cast<std::size_t>(i)];
}

void ZovSocketPoller::Wake() {
    if (Valid())
        sys::pollerwake(m_state->system);
}
