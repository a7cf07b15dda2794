// A bounded soak of the chat server example: for ZOVNET_SOAK_SECONDS (default 60) seconds,
// clients come and go around it the way a public server sees them — they connect, send and
// leave, reset, half-close, send garbage or bad lengths, or stop reading — while a few
// well-behaved clients chat all the time. Each well-behaved client checks that it gets every
// message of every other one exactly once, in order and unchanged; at the end the server must
// still run and hold no more descriptors than it did before anybody came.
//
// Not part of the ordinary test run (it takes a minute): CI runs the program on its own.
#include "ChildProcess.h"
#include "RawSocket.h"
#include "TestSupport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using zovtest::Bytes;
using zovtest::RawFd;

constexpr unsigned char kWelcomeType = 255;
constexpr unsigned char kChatType = 2;  // the well-behaved clients' messages
constexpr unsigned char kChurnType = 1; // every other whole message
constexpr int kChatters = 4;
constexpr int kWaitMs = 15000;

int SoakSeconds() {
    const char* text = std::getenv("ZOVNET_SOAK_SECONDS");
    const int seconds = text != nullptr ? std::atoi(text) : 0;
    return seconds > 0 ? seconds : 60;
}

// The first failure of any thread, and how many there were.
class Failures {
public:
    void Add(const std::string& what) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_count++ == 0)
            m_first = what;
    }
    int Count() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }
    std::string First() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_first;
    }

private:
    mutable std::mutex m_mutex;
    int m_count = 0;
    std::string m_first;
};

// A message of a well-behaved client: its id, its sequence number, then a body whose length and
// bytes follow from both, so that a receiver can tell a corrupted message from a good one.
Bytes ChatMessage(unsigned int id, unsigned int seq) {
    const unsigned int body = (id * 7919u + seq * 104729u) % 1500u;
    const unsigned int size = 3 + 8 + body;
    Bytes m(size);
    m[0] = static_cast<unsigned char>(size >> 8);
    m[1] = static_cast<unsigned char>(size);
    m[2] = kChatType;
    for (int i = 0; i < 4; ++i) {
        m[3 + i] = static_cast<unsigned char>(id >> (24 - 8 * i));
        m[7 + i] = static_cast<unsigned char>(seq >> (24 - 8 * i));
    }
    for (unsigned int i = 0; i < body; ++i)
        m[11 + i] = static_cast<unsigned char>(id * 31u + seq * 17u + i);
    return m;
}

unsigned int Field32(const Bytes& m, std::size_t at) {
    return (static_cast<unsigned int>(m[at]) << 24) | (static_cast<unsigned int>(m[at + 1]) << 16) |
           (static_cast<unsigned int>(m[at + 2]) << 8) | m[at + 3];
}

// Reads one whole message (header included) from the blocking `fd`; false when the connection
// ended or nothing came within the time.
bool ReadMessage(int fd, Bytes& message, int milliseconds) {
    const Bytes head = zovtest::ReceiveBytes(fd, 2, milliseconds);
    if (head.size() != 2)
        return false;
    const std::size_t size = (static_cast<std::size_t>(head[0]) << 8) | head[1];
    if (size < 3)
        return false;
    const Bytes rest = zovtest::ReceiveBytes(fd, size - 2, milliseconds);
    if (rest.size() != size - 2)
        return false;
    message = head;
    message.insert(message.end(), rest.begin(), rest.end());
    return true;
}

bool Welcomed(int fd) {
    Bytes welcome;
    return ReadMessage(fd, welcome, kWaitMs) && welcome.size() == 5 && welcome[2] == kWelcomeType;
}

// One well-behaved client: a thread that sends its numbered messages and one that reads and
// checks what the others send.
class Chatter {
public:
    Chatter(unsigned int id, unsigned short port, Failures& failures)
        : m_id(id), m_fd(zovtest::RawConnect(port)), m_failures(failures) {}

    bool Joined() { return m_fd.Valid() && Welcomed(m_fd.Get()); }

    void Start() {
        m_reader = std::thread([this] { Read(); });
        m_writer = std::thread([this] { Write(); });
    }

    // Stops sending; returns how many messages were sent.
    unsigned int StopSending() {
        m_stopSending = true;
        m_writer.join();
        return m_sent;
    }

    // Waits until every other chatter's last message has come, then stops reading.
    void FinishReading(const std::vector<unsigned int>& sent) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
        for (;;) {
            bool complete = true;
            for (unsigned int other = 0; other < sent.size(); ++other)
                if (other != m_id && m_next[other].load() < sent[other])
                    complete = false;
            if (complete || Clock::now() >= deadline)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        m_stopReading = true;
        m_reader.join();
        for (unsigned int other = 0; other < sent.size(); ++other)
            if (other != m_id && m_next[other].load() != sent[other])
                m_failures.Add("chatter " + std::to_string(m_id) + " got " +
                               std::to_string(m_next[other].load()) + " of the " +
                               std::to_string(sent[other]) + " messages of chatter " +
                               std::to_string(other));
    }

    void Close() { m_fd.Reset(); }

private:
    void Write() {
        while (!m_stopSending) {
            if (!zovtest::SendAll(m_fd.Get(), ChatMessage(m_id, m_sent))) {
                m_failures.Add("chatter " + std::to_string(m_id) + " could not send");
                return;
            }
            ++m_sent;
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    }

    void Read() {
        Bytes m;
        while (!m_stopReading) {
            if (!zovtest::WaitReadable(m_fd.Get(), 100))
                continue;
            if (!ReadMessage(m_fd.Get(), m, kWaitMs)) {
                m_failures.Add("chatter " + std::to_string(m_id) +
                               " was dropped or got a cut "
                               "message");
                return;
            }
            if (m[2] != kChatType)
                continue; // the churn's whole messages are relayed too
            if (m.size() < 11) {
                m_failures.Add("a chat message too short to be one");
                continue;
            }
            const unsigned int from = Field32(m, 3);
            const unsigned int seq = Field32(m, 7);
            if (from >= kChatters || from == m_id) {
                m_failures.Add("a chat message from nobody, or back to its sender");
                continue;
            }
            if (m != ChatMessage(from, seq)) {
                m_failures.Add("a corrupted chat message");
                continue;
            }
            const unsigned int expected = m_next[from].load();
            if (seq != expected) {
                m_failures.Add("chatter " + std::to_string(m_id) + " expected message " +
                               std::to_string(expected) + " of chatter " + std::to_string(from) +
                               ", got " + std::to_string(seq));
                continue;
            }
            m_next[from] = expected + 1;
        }
    }

    unsigned int m_id;
    RawFd m_fd;
    Failures& m_failures;
    std::thread m_reader, m_writer;
    std::atomic<bool> m_stopSending{false}, m_stopReading{false};
    unsigned int m_sent = 0;
    std::atomic<unsigned int> m_next[kChatters] = {};
};

// The ways a passing client misbehaves; each runs in a loop on its own thread.
enum class Churn { SendAndLeave, Reset, HalfClose, Garbage, NeverReads };

const char* Name(Churn c) {
    switch (c) {
    case Churn::SendAndLeave:
        return "send and leave";
    case Churn::Reset:
        return "reset";
    case Churn::HalfClose:
        return "half-close";
    case Churn::Garbage:
        return "garbage";
    case Churn::NeverReads:
        return "never reads";
    }
    return "?";
}

// Whole messages of the churn carry kChurnType; garbage never forms a whole message of the chat
// type: either a length field below 3, or a message cut short by the close, possibly after a
// whole churn message.
Bytes Garbage(std::mt19937& random) {
    Bytes g;
    const unsigned int kind = random() % 3;
    if (kind == 0)
        return {0x00, static_cast<unsigned char>(random() % 3), 0x55, 0xAA};
    if (kind == 2)
        g = {0x00, 0x05, kChurnType, 0xDE, 0xAD};
    const unsigned int size = 3 + random() % 4000;
    const unsigned int cut = random() % size;
    Bytes partial(cut);
    for (unsigned char& b : partial)
        b = static_cast<unsigned char>(random());
    if (cut >= 1)
        partial[0] = static_cast<unsigned char>(size >> 8);
    if (cut >= 2)
        partial[1] = static_cast<unsigned char>(size);
    if (cut >= 3)
        partial[2] = kChurnType;
    g.insert(g.end(), partial.begin(), partial.end());
    return g;
}

void RunChurn(Churn kind, unsigned short port, const std::atomic<bool>& stop,
              std::atomic<unsigned long>& rounds) {
    std::mt19937 random(static_cast<unsigned int>(kind) * 977u + 13u);
    const Bytes hello = {0x00, 0x06, kChurnType, 'h', 'e', 'y'};
    while (!stop) {
        switch (kind) {
        case Churn::SendAndLeave: {
            RawFd c = zovtest::RawConnect(port);
            if (c.Valid() && Welcomed(c.Get()))
                zovtest::SendAll(c.Get(), hello);
            break;
        }
        case Churn::Reset: {
            RawFd c = zovtest::RawConnect(port);
            if (c.Valid() && random() % 2 == 0)
                zovtest::SendAll(c.Get(), hello);
            zovtest::ResetClose(c);
            break;
        }
        case Churn::HalfClose: {
            RawFd c = zovtest::RawConnect(port);
            if (!c.Valid())
                break;
            zovtest::SendAll(c.Get(), hello);
            ::shutdown(c.Get(), 1); // the sending direction: the server sees the end
            Bytes m;
            while (ReadMessage(c.Get(), m, 2000)) {
            }
            break;
        }
        case Churn::Garbage: {
            RawFd c = zovtest::RawConnect(port);
            if (c.Valid())
                zovtest::SendAll(c.Get(), Garbage(random));
            break;
        }
        case Churn::NeverReads: {
            RawFd c = zovtest::RawConnect(port, 4096);
            const auto until = Clock::now() + std::chrono::seconds(4);
            while (!stop && Clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            break;
        }
        }
        ++rounds;
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 20));
    }
}

TEST(ChatSoak, NothingLostUnderChurnAndNoDescriptorLeaks) {
#ifndef CHAT_SERVER_PATH
    GTEST_SKIP() << "built without the examples";
#else
    ASSERT_TRUE(ZovNet::GetInstance()->Init());
    const int seconds = SoakSeconds();
    zovtest::ChildProcess server;
    ASSERT_TRUE(server.Start({CHAT_SERVER_PATH, "--max-seconds", std::to_string(seconds + 120)}));
    std::string line;
    ASSERT_TRUE(server.ReadLine(line, kWaitMs));
    unsigned int number = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "listening on port %u", &number), 1) << line;
    const unsigned char portBytes[2] = {static_cast<unsigned char>(number >> 8),
                                        static_cast<unsigned char>(number)};
    unsigned short port = 0;
    std::memcpy(&port, portBytes, sizeof port);

    // The log goes to a pipe, which must be read or the server would block on it.
    std::atomic<bool> stopLog{false};
    std::atomic<unsigned long> logLines{0};
    std::thread log([&] {
        std::string l;
        while (!stopLog)
            if (server.ReadLine(l, 100))
                ++logLines;
    });
    const int baseDescriptors = server.OpenDescriptors();
    ASSERT_GT(baseDescriptors, 0);

    Failures failures;
    std::vector<std::unique_ptr<Chatter>> chatters;
    for (unsigned int id = 0; id < kChatters; ++id) {
        chatters.push_back(std::make_unique<Chatter>(id, port, failures));
        ASSERT_TRUE(chatters.back()->Joined()) << "chatter " << id << " was not welcomed";
    }
    for (auto& c : chatters)
        c->Start();

    const Churn kinds[] = {Churn::SendAndLeave, Churn::Reset, Churn::HalfClose, Churn::Garbage,
                           Churn::NeverReads};
    std::atomic<bool> stopChurn{false};
    std::vector<std::atomic<unsigned long>> rounds(std::size(kinds));
    std::vector<std::thread> churn;
    for (std::size_t i = 0; i < std::size(kinds); ++i)
        churn.emplace_back(RunChurn, kinds[i], port, std::cref(stopChurn), std::ref(rounds[i]));

    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stopChurn = true;
    for (std::thread& t : churn)
        t.join();
    std::vector<unsigned int> sent;
    for (auto& c : chatters)
        sent.push_back(c->StopSending());
    for (auto& c : chatters)
        c->FinishReading(sent);
    for (auto& c : chatters)
        c->Close();

    // Every client has gone: the server must come back to the descriptors it started with.
    int descriptors = -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        descriptors = server.OpenDescriptors();
    } while (descriptors != baseDescriptors && Clock::now() < deadline);
    stopLog = true;
    log.join();

    std::printf("soak of %d s: chat messages sent", seconds);
    for (unsigned int s : sent)
        std::printf(" %u", s);
    std::printf("; churn rounds");
    for (std::size_t i = 0; i < std::size(kinds); ++i)
        std::printf(" %s %lu,", Name(kinds[i]), rounds[i].load());
    std::printf(" log lines %lu; server descriptors %d at the start, %d at the end\n",
                logLines.load(), baseDescriptors, descriptors);

    EXPECT_EQ(failures.Count(), 0) << failures.First();
    EXPECT_EQ(descriptors, baseDescriptors) << "the server holds descriptors of clients gone";
    EXPECT_GE(server.CpuSeconds(), 0) << "the server has ended";
    for (std::size_t i = 0; i < std::size(kinds); ++i)
        EXPECT_GT(rounds[i].load(), 0u) << Name(kinds[i]);
    for (unsigned int s : sent)
        EXPECT_GT(s, 0u);
#endif
}

} // namespace
