// zovcat decode: reads a byte stream, in hex or as it is, and prints each message of it.
#include "zovcat.h"

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

} // namespace

int Decode(int argc, char** argv) {
    std::vector<std::pair<std::string, std::string>> options;
    const Args args = SplitArgs(argc, argv, 2, {{"--binary", false}}, options);
    if (args.help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (!args.error.empty())
        return UsageError(args.error);
    if (!args.positional.empty())
        return UsageError("decode reads standard input and takes no operand");
    const bool binary = !options.empty();

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
