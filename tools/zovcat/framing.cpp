// zovcat: how messages and notes are printed, and what is wrong with a datagram.
#include "zovcat.h"

#include <chrono>
#include <ctime>

namespace zovcat {

void PrintLine(std::FILE* to, const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), to);
    std::fputc('\n', to);
    std::fflush(to);
}

std::string Hex(const unsigned char* data, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 3);
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0)
            out += ' ';
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}

std::string Printable(const unsigned char* data, std::size_t n) {
    std::string out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        out += (data[i] >= 0x20 && data[i] < 0x7F) ? static_cast<char>(data[i]) : '.';
    return out;
}

std::string DescribeMessage(const unsigned char* data, std::size_t n) {
    return "length " + std::to_string(n) + " type " + std::to_string(data[2]) + ": " +
           Hex(data, n) + "  |" + Printable(data, n) + "|";
}

std::string Now() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    char text[32] = "??:??:??";
    if (const std::tm* local = std::localtime(&seconds))
        std::strftime(text, sizeof text, "%H:%M:%S", local);
    char line[48];
    std::snprintf(line, sizeof line, "%s.%03d", text, static_cast<int>(millis));
    return line;
}

std::string BadLength(std::size_t field) {
    return "malformed: length field " + std::to_string(field) +
           " is below 3 (its 2 bytes are skipped)";
}

std::string CheckDatagram(const unsigned char* data, std::size_t n, std::size_t& messageSize) {
    messageSize = 0;
    if (n == 0)
        return "empty datagram";
    if (n == 1)
        return "malformed: 1-byte datagram, no room for a length field";
    const std::size_t field = data[0] * 256u + data[1];
    if (field < PACKET_HEADER_SIZE)
        return "malformed: length field " + std::to_string(field) + " is below 3";
    if (field > n)
        return "cut short: length field " + std::to_string(field) + ", only " + std::to_string(n) +
               " bytes";
    messageSize = field;
    if (field < n)
        return "malformed: " + std::to_string(n - field) + " bytes after the message";
    return std::string();
}

void Printer::Message(const std::string& peer, const unsigned char* data, std::size_t n) {
    if (m_raw)
        PrintLine(stdout, Hex(data, n));
    else
        PrintLine(stdout, Now() + " " + peer + " " + DescribeMessage(data, n));
}

void Printer::Note(const std::string& peer, const std::string& what) {
    PrintLine(m_raw ? stderr : stdout, Now() + " " + peer + " " + what);
}

} // namespace zovcat
