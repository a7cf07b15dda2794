// zovcat: command lines, numbers and addresses.
#include "zovcat.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace zovcat {

int Fail(const std::string& reason) {
    PrintLine(stderr, "zovcat: " + reason);
    return kExitFailure;
}

int FailWithReason(const std::string& what) {
    return Fail(what + ": " + ZovNet::ErrorText(ZovNet::LastError()));
}

namespace {

bool quietReports = false; // zovcat runs on one thread

void Report(const char* title, const char* text) {
    const bool warning = std::strcmp(title, "Warning") == 0;
    if (warning && quietReports)
        return;
    std::string line = std::string("zovcat: ") + text;
    if (warning)
        line += std::string(": ") + ZovNet::ErrorText(ZovNet::LastError());
    PrintLine(stderr, line);
}

} // namespace

void InstallReportHandler() {
    ZovNet::SetReportHandler(Report);
}

QuietReports::QuietReports() : m_was(quietReports) {
    quietReports = true;
}

QuietReports::~QuietReports() {
    quietReports = m_was;
}

int UsageError(const std::string& reason) {
    PrintLine(stderr, "zovcat: " + reason);
    std::fputs("Try 'zovcat --help'.\n", stderr);
    return kExitUsage;
}

unsigned short ToNetworkOrder(unsigned int port) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(port >> 8),
                                    static_cast<unsigned char>(port & 0xFF)};
    unsigned short value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

unsigned int ToHostOrder(unsigned short networkOrder) {
    unsigned char bytes[2];
    std::memcpy(bytes, &networkOrder, sizeof bytes);
    return bytes[0] * 256u + bytes[1];
}

std::string Endpoint(unsigned int addr, unsigned short port) {
    char text[16] = "?";
    ZovNet::GetInstance()->AddrToString(addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ToHostOrder(port));
}

bool ParseNumber(const std::string& text, unsigned long long max, unsigned long long& value) {
    std::size_t i = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i == text.size())
        return false;
    unsigned long long v = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        // Checked before the step, so that no value wraps (max may be the type's own).
        if (digit > max || v > (max - digit) / base)
            return false;
        v = v * base + digit;
    }
    value = v;
    return true;
}

int HexDigit(int c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

Args SplitArgs(int argc, char** argv, int first, const std::vector<Option>& known,
               std::vector<std::pair<std::string, std::string>>& options) {
    Args args;
    for (int i = first; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            args.help = true;
            continue;
        }
        if (word.size() < 2 || word.compare(0, 2, "--") != 0) {
            args.positional.push_back(word);
            continue;
        }
        const Option* option = nullptr;
        for (const Option& o : known)
            if (word == o.name)
                option = &o;
        if (option == nullptr) {
            args.error = "unknown option " + word;
            return args;
        }
        if (option->takesValue) {
            if (i + 1 >= argc) {
                args.error = word + " needs a value";
                return args;
            }
            options.emplace_back(word, argv[++i]);
        } else {
            options.emplace_back(word, std::string());
        }
    }
    return args;
}

bool ParseReal(const std::string& text, double& value) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size())
        return false;
    value = parsed;
    return true;
}

bool ParsePort(const std::string& text, bool zeroAllowed, unsigned int& port) {
    unsigned long long value = 0;
    if (!ParseNumber(text, 65535, value) || (value == 0 && !zeroAllowed))
        return false;
    port = static_cast<unsigned int>(value);
    return true;
}

bool ResolveHost(const std::string& host, unsigned int& addr) {
    ZovNet* net = ZovNet::GetInstance();
    return net->StringToAddr(host.c_str(), addr) || net->NameToAddr(host.c_str(), &addr);
}

} // namespace zovcat
