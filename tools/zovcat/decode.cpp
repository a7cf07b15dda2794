// zovcat decode: reads a byte stream, in hex or as it is, and prints each message of it.
#include "zovcat.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#if defined(_WIN32)
// Standard input must deliver bytes unchanged for `decode --binary`.
#include <fcntl.h>
#include <io.h>
#endif

namespace zovcat {
namespace {

// Reads hex text: digits in pairs, whitespace and colons between them ignored, '#' to the end
// of the line a comment. Returns an error message, or an empty string.
std::string ReadHex(std::FILE* in, Bytes& bytes) {
    unsigned long line = 1, column = 0;
    int high = -1;
    bool comment = false;
    for (int c; (c = std::fgetc(in)) != EOF;) {
        ++column;
        if (c == '\n') {
            ++line;
            column = 0;
            comment = false;
            continue;
        }
        if (comment || c == ' ' || c == '\t' || c == '\r' || c == ':')
            continue;
        if (c == '#') {
            comment = true;
            continue;
        }
        const int digit = HexDigit(c);
        if (digit < 0)
            return "not a hex digit at line " + std::to_string(line) + ", column " +
                   std::to_string(column);
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<unsigned char>(high * 16 + digit));
            high = -1;
        }
    }
    if (high >= 0)
        return "odd number of hex digits";
    return std::string();
}

// One word of a --fields layout, and what it reads.
struct LayoutField {
    std::string kind;       // u8 u16 u32 u64 f32 f64 string, or bin
    unsigned int count = 0; // the bytes it needs at least: all of a bin, the count of a string
};

std::string ParseLayout(const std::string& text, std::vector<LayoutField>& layout) {
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const std::string word = text.substr(start, comma - start);
        start = comma + 1;
        static const std::pair<const char*, unsigned int> kFixed[] = {
            {"u8", 1}, {"u16", 2}, {"u32", 4}, {"u64", 8}, {"f32", 4}, {"f64", 8}, {"string", 2}};
        LayoutField f;
        for (const auto& [kind, width] : kFixed) {
            if (word == kind) {
                f.kind = kind;
                f.count = width;
            }
        }
        if (!f.kind.empty()) {
            layout.push_back(f);
            continue;
        }
        if (word.compare(0, 4, "bin:") == 0) {
            unsigned long long n = 0;
            if (!ParseNumber(word.substr(4), kMaxMessage, n) || n == 0)
                return "--fields: bin:N needs a count from 1: " + word;
            f.kind = "bin";
            f.count = static_cast<unsigned int>(n);
        } else {
            return "--fields: not a field kind: '" + word +
                   "' (u8, u16, u32, u64, f32, f64, string or bin:N)";
        }
        layout.push_back(f);
    }
    return std::string();
}

std::string Real(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// The message's content read field by field through the library's packet, each read checked
// against what is left first, as a program reading messages from the network should. Returns
// false when the layout does not fit the message.
bool DescribeFields(const unsigned char* message, std::size_t size,
                    const std::vector<LayoutField>& layout, std::string& line) {
    ZovNetPacket packet;
    packet.WritePacket(message, static_cast<unsigned int>(size));
    line = "fields:";
    for (const LayoutField& f : layout) {
        const unsigned int need = f.count;
        if (packet.Remaining() < need) {
            line +=
                " " + f.kind + " missing (" + std::to_string(packet.Remaining()) + " bytes left)";
            return false;
        }
        line += " " + f.kind + " ";
        if (f.kind == "u8") {
            line += std::to_string(packet.ReadInt8());
        } else if (f.kind == "u16") {
            line += std::to_string(packet.ReadInt16());
        } else if (f.kind == "u32") {
            line += std::to_string(packet.ReadInt32());
        } else if (f.kind == "u64") {
            line += std::to_string(packet.ReadInt64());
        } else if (f.kind == "f32") {
            line += Real(packet.ReadFloat());
        } else if (f.kind == "f64") {
            line += Real(packet.ReadDouble());
        } else if (f.kind == "string") {
            const unsigned char* at = packet.Content() + (packet.Cursor() - PACKET_HEADER_SIZE);
            const unsigned int count = (static_cast<unsigned int>(at[0]) << 8) | at[1];
            if (packet.Remaining() - 2 < count) {
                line += "missing (count " + std::to_string(count) + ", " +
                        std::to_string(packet.Remaining() - 2) + " bytes left)";
                return false;
            }
            std::string text(count + 1, '\0');
            packet.ReadString(&text[0], count + 1);
            text.resize(count);
            line +=
                "\"" + Printable(reinterpret_cast<const unsigned char*>(text.data()), count) + "\"";
        } else {
            Bytes bytes(f.count);
            packet.ReadBin(bytes.data(), f.count);
            line += Hex(bytes.data(), bytes.size());
        }
    }
    if (packet.Remaining() > 0) {
        line += " (" + std::to_string(packet.Remaining()) + " bytes left over)";
        return false;
    }
    return true;
}

} // namespace

int Decode(int argc, char** argv) {
    std::vector<std::pair<std::string, std::string>> options;
    const Args args = SplitArgs(argc, argv, 2, {{"--binary", false}, {"--fields", true}}, options);
    if (args.help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (!args.error.empty())
        return UsageError(args.error);
    if (!args.positional.empty())
        return UsageError("decode reads standard input and takes no operand");
    bool binary = false;
    std::vector<LayoutField> layout;
    for (const auto& [name, value] : options) {
        if (name == "--binary") {
            binary = true;
        } else {
            const std::string error = ParseLayout(value, layout);
            if (!error.empty())
                return UsageError(error);
        }
    }

    Bytes bytes;
    if (binary) {
#if defined(_WIN32)
        _setmode(_fileno(stdin), _O_BINARY);
#endif
        unsigned char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, stdin)) > 0;)
            bytes.insert(bytes.end(), chunk, chunk + n);
    } else {
        const std::string error = ReadHex(stdin, bytes);
        if (!error.empty())
            return UsageError("decode: " + error);
    }

    StreamFramer framer;
    framer.Feed(bytes.data(), bytes.size());
    bool wellFramed = true;
    const unsigned char* message = nullptr;
    std::size_t size = 0;
    std::uint64_t offset = 0;
    for (;;) {
        const StreamFramer::Item item = framer.Next(message, size, offset);
        if (item == StreamFramer::Item::None)
            break;
        const std::string at = "offset " + std::to_string(offset) + ": ";
        if (item == StreamFramer::Item::BadLength) {
            wellFramed = false;
            PrintLine(stdout, at + BadLength(size));
        } else {
            PrintLine(stdout, at + DescribeMessage(message, size));
            std::string fields;
            if (!layout.empty()) {
                wellFramed = DescribeFields(message, size, layout, fields) && wellFramed;
                PrintLine(stdout, "  " + fields);
            }
        }
    }
    const std::string left = framer.Leftover();
    if (!left.empty()) {
        wellFramed = false;
        PrintLine(stdout, "offset " + std::to_string(framer.Offset()) + ": " + left);
    }
    return wellFramed ? kExitOk : kExitFailure;
}

} // namespace zovcat
