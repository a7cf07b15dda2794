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

std::string AddressText(const ZovAddress& addr) {
    char text[ZOVNET::ADDRESS_STRING_SIZE] = "?";
    ZovNet::GetInstance()->AddressToString(addr, text, sizeof text);
    return text;
}

std::string Endpoint(const ZovAddress& addr, unsigned short port) {
    const std::string text = AddressText(addr);
    const std::string number = std::to_string(ToHostOrder(port));
    return addr.IsV6() ? "[" + text + "]:" + number : text + ":" + number;
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

std::string SplitTarget(const std::vector<std::string>& positional, std::string& host,
                        std::string& port, std::size_t& words) {
    if (positional.empty())
        return "send needs HOST and PORT";
    const std::string& first = positional[0];
    std::size_t split = std::string::npos;
    if (!first.empty() && first[0] == '[') {
        const std::size_t close = first.find(']');
        if (close == std::string::npos)
            return "not an address: " + first + " (no closing bracket)";
        if (close + 1 < first.size() && first[close + 1] != ':')
            return "not an address: " + first + " (after ']' comes ':' and the port)";
        split = close + 1 < first.size() ? close + 1 : std::string::npos;
    } else if (first.find(':') != std::string::npos && first.find(':') == first.rfind(':')) {
        split = first.find(':');
    }
    if (split != std::string::npos) {
        host = first.substr(0, split);
        port = first.substr(split + 1);
        words = 1;
        if (host.empty())
            return "no host before the port in " + first;
        return std::string();
    }
    if (positional.size() < 2)
        return "send needs HOST and PORT";
    host = first;
    port = positional[1];
    words = 2;
    return std::string();
}

bool ParseAddress(const std::string& text, ZovAddress& out) {
    std::string bare = text;
    const bool bracketed = bare.size() >= 2 && bare.front() == '[' && bare.back() == ']';
    if (bracketed)
        bare = bare.substr(1, bare.size() - 2);
    // Brackets are for IPv6 text only (the mapped form included, which gives IPv4).
    if (bracketed && bare.find(':') == std::string::npos)
        return false;
    if (bare.empty() || bare.find('\0') != std::string::npos)
        return false;
    return ZovNet::GetInstance()->StringToAddress(bare.c_str(), out);
}

Lookup ResolveHost(const std::string& host, std::vector<ZovAddress>& out) {
    out.clear();
    ZovAddress literal;
    if (ParseAddress(host, literal)) {
        out.push_back(literal);
        return Lookup::Found;
    }
    // A host name has neither brackets nor colons.
    if (host.empty() || host.find_first_of("[]:%") != std::string::npos ||
        host.find('\0') != std::string::npos)
        return Lookup::BadText;
    ZovNet* net = ZovNet::GetInstance();
    unsigned int v4 = 0;
    if (net->StringToAddr(host.c_str(), v4)) {
        out.emplace_back(v4);
        return Lookup::Found;
    }
    // The last label of a host name is never all digits: such text is a mistyped address, and
    // a resolver would only be asked in vain.
    if (host.find_first_not_of("0123456789.") == std::string::npos)
        return Lookup::BadText;
    ZovAddress found[16];
    const int count = net->ResolveName(host.c_str(), found, 16);
    if (count <= 0)
        return Lookup::NotFound;
    out.assign(found, found + count);
    return Lookup::Found;
}

bool NoIPv6(int errorCode) {
    return errorCode == 10043    // protocol not supported
           || errorCode == 10046 // protocol family not supported
           || errorCode == ZOVNET::ERRCODE_FAMILY_NOT_SUPPORTED ||
           errorCode == ZOVNET::ERRCODE_ADDRESS_NOT_AVAILABLE;
}

} // namespace zovcat
