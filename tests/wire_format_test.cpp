// The byte vectors of docs/wire-format.md, read from the document itself: each message is built
// through the packet's Adds and compared byte for byte, then taken apart again from those bytes.
// The document is what peers in other languages are written from, so it must say what the
// library does.
#include "PacketSupport.h"

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using zovtest::Bytes;

struct Field {
    std::string kind; // u8, u16, u32, u64, f32, f64, str or bin
    unsigned long long value = 0;
    double real = 0;
    std::string bin;
};

struct Vector {
    std::string row; // as written in the document, for the failure messages
    unsigned char type = 0;
    std::vector<Field> fields;
    Bytes bytes;
};

std::string Document() {
    const std::string path = std::string(ZOVNET_SOURCE_DIR) + "/docs/wire-format.md";
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::string();
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The rows of the table under "## Byte vectors": | type | `field` `field` ... | `hex bytes` |.
// A row that looks like a vector but does not parse fails the test rather than being skipped.
std::vector<Vector> VectorsOf(const std::string& document) {
    std::vector<Vector> vectors;
    std::istringstream lines(document);
    bool inSection = false;
    const std::regex row(R"(^\|\s*(\d+)\s*\|(.*)\|\s*`([0-9A-Fa-f ]+)`\s*\|\s*$)");
    const std::regex field(
        R"re(`(u8|u16|u32|u64) (\d+)`|`(f32|f64) (-?[0-9.]+)`|`(bin|str) "([^"]*)"`)re");
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind("## ", 0) == 0)
            inSection = line == "## Byte vectors";
        if (!inSection || line.rfind("|", 0) != 0)
            continue;
        std::smatch m;
        if (!std::regex_match(line, m, row)) {
            if (line.find_first_of("0123456789") < line.find('|', 1))
                ADD_FAILURE() << "a row of the byte vectors that does not parse: " << line;
            continue;
        }
        Vector v;
        v.row = line;
        v.type = static_cast<unsigned char>(std::stoul(m[1].str()));
        const std::string fields = m[2].str();
        for (auto it = std::sregex_iterator(fields.begin(), fields.end(), field);
             it != std::sregex_iterator(); ++it) {
            Field f;
            if ((*it)[1].matched) {
                f.kind = (*it)[1].str();
                f.value = std::stoull((*it)[2].str());
            } else if ((*it)[3].matched) {
                f.kind = (*it)[3].str();
                f.real = std::stod((*it)[4].str());
            } else {
                f.kind = (*it)[5].str();
                f.bin = (*it)[6].str();
            }
            v.fields.push_back(f);
        }
        std::istringstream hex(m[3].str());
        for (std::string byte; hex >> byte;)
            v.bytes.push_back(static_cast<unsigned char>(std::stoul(byte, nullptr, 16)));
        vectors.push_back(v);
    }
    return vectors;
}

TEST(WireFormatDocument, HasTheByteVectors) {
    const std::string document = Document();
    ASSERT_FALSE(document.empty()) << "cannot read " << ZOVNET_SOURCE_DIR "/docs/wire-format.md";
    const std::vector<Vector> vectors = VectorsOf(document);
    // The step-by-step example's message and at least three more.
    ASSERT_GE(vectors.size(), 4u);
    const Bytes example = {0x00, 0x09, 0x07, 0x02, 0x01, 0x00, 0x01, 0x00, 0x00};
    bool found = false;
    for (const Vector& v : vectors)
        found = found || v.bytes == example;
    EXPECT_TRUE(found) << "the nine bytes of the step-by-step example are not among the vectors";
}

TEST(WireFormatDocument, EachVectorIsWhatThePacketWritesAndReads) {
    const std::vector<Vector> vectors = VectorsOf(Document());
    ASSERT_FALSE(vectors.empty());
    for (const Vector& v : vectors) {
        SCOPED_TRACE(v.row);

        // Written: the fields in order, then the stamped header.
        ZovNetPacket out(v.type, 0);
        for (const Field& f : v.fields) {
            if (f.kind == "u8")
                out.AddInt8(static_cast<unsigned char>(f.value));
            else if (f.kind == "u16")
                out.AddInt16(static_cast<unsigned short>(f.value));
            else if (f.kind == "u32")
                out.AddInt32(static_cast<unsigned int>(f.value));
            else if (f.kind == "u64")
                out.AddInt64(f.value);
            else if (f.kind == "f32")
                out.AddFloat(static_cast<float>(f.real));
            else if (f.kind == "f64")
                out.AddDouble(f.real);
            else if (f.kind == "str")
                out.AddString(f.bin.c_str());
            else
                out.AddBin(f.bin.data(), static_cast<unsigned int>(f.bin.size()));
        }
        ASSERT_EQ(out.Length(), v.bytes.size());
        const unsigned char* wire = out.Data();
        EXPECT_EQ(Bytes(wire, wire + out.Length()), v.bytes);

        // Read: the same bytes as received give back the type and every field, nothing left over,
        // and no mismatch line (the length field agrees with the bytes).
        ZovNetPacket in;
        const std::string printed = zovtest::StdoutOf(
            [&] { in.WritePacket(v.bytes.data(), static_cast<unsigned int>(v.bytes.size())); });
        EXPECT_EQ(printed, "");
        EXPECT_EQ(in.Type(), v.type);
        EXPECT_EQ(in.Length(), v.bytes.size());
        for (const Field& f : v.fields) {
            if (f.kind == "u8") {
                EXPECT_EQ(in.ReadInt8(), f.value);
            } else if (f.kind == "u16") {
                EXPECT_EQ(in.ReadInt16(), f.value);
            } else if (f.kind == "u32") {
                EXPECT_EQ(in.ReadInt32(), f.value);
            } else if (f.kind == "u64") {
                EXPECT_EQ(in.ReadInt64(), f.value);
            } else if (f.kind == "f32") {
                EXPECT_EQ(in.ReadFloat(), static_cast<float>(f.real));
            } else if (f.kind == "f64") {
                EXPECT_EQ(in.ReadDouble(), f.real);
            } else if (f.kind == "str") {
                std::string text(f.bin.size() + 1, 'x');
                EXPECT_EQ(in.ReadString(&text[0], static_cast<unsigned int>(text.size())),
                          f.bin.size());
                EXPECT_EQ(text.c_str(), f.bin);
            } else {
                std::string text(f.bin.size(), '\0');
                EXPECT_EQ(in.ReadBin(&text[0], static_cast<unsigned int>(text.size())),
                          text.size());
                EXPECT_EQ(text, f.bin);
            }
        }
        EXPECT_EQ(in.Cursor(), in.Length());
    }
}

} // namespace
