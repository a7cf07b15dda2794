// The client ends of the poller's scale test in a process of their own, so that neither process
// needs descriptors for both ends: poller_peer <port> <connections> <batch> <messages> <seconds>.
// The port is in host byte order. Prints "ok", or "error: " and what went wrong (exit status 1).
#include "ManyConnections.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 6) {
        std::printf("error: usage: poller_peer <port> <connections> <batch> <messages> "
                    "<seconds>\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int count = std::atoi(argv[2]);
    const int batch = std::atoi(argv[3]);
    const int messages = std::atoi(argv[4]);
    const int seconds = std::atoi(argv[5]);
    std::string why;
    if (!zovtest::RaiseDescriptorLimit(static_cast<unsigned long>(count) + 100, why)) {
        std::printf("error: %s\n", why.c_str());
        return 1;
    }
    const std::string error =
        zovtest::RunClientEnds(htons(static_cast<unsigned short>(port)), count, batch, messages,
                               std::chrono::steady_clock::now() + std::chrono::seconds(seconds));
    std::printf("%s%s\n", error.empty() ? "ok" : "error: ", error.c_str());
    std::fflush(stdout);
    return error.empty() ? 0 : 1;
}
