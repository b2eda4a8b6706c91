#pragma once
// A minimal zip writer of its own for tests: it writes exactly the headers it is told to, so
// that archives no honest tool would make (hostile names, links, false sizes) can be built.

#include <zlib.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace SonvelTest {

struct ForgedEntry {
    std::string name;
    std::string data;
    bool deflate = false;
    std::optional<std::uint32_t> declaredSize;       // uncompressed size in the headers
    std::optional<std::uint32_t> declaredCompressed; // compressed size in the headers
    std::uint32_t externalAttributes = 0100644u << 16;
    std::uint16_t flags = 0;
};

inline ForgedEntry Entry(std::string name, std::string data, bool deflate = false) {
    ForgedEntry e;
    e.name = std::move(name);
    e.data = std::move(data);
    e.deflate = deflate;
    return e;
}

// An entry whose headers claim the given sizes.
inline ForgedEntry Claiming(std::string name, std::string data, bool deflate,
                            std::optional<std::uint32_t> size,
                            std::optional<std::uint32_t> compressed) {
    ForgedEntry e = Entry(std::move(name), std::move(data), deflate);
    e.declaredSize = size;
    e.declaredCompressed = compressed;
    return e;
}

inline std::string RawDeflate(const std::string& data) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

inline void Put16(std::string& s, std::uint32_t v) {
    s += static_cast<char>(v & 0xff);
    s += static_cast<char>((v >> 8) & 0xff);
}

inline void Put32(std::string& s, std::uint32_t v) {
    Put16(s, v & 0xffff);
    Put16(s, v >> 16);
}

inline std::string ForgeZip(const std::vector<ForgedEntry>& entries) {
    std::string zip;
    std::string central;
    for (const ForgedEntry& e : entries) {
        const std::string stored = e.deflate ? RawDeflate(e.data) : e.data;
        const auto crc = static_cast<std::uint32_t>(crc32(
            0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size())));
        const std::uint32_t size =
            e.declaredSize.value_or(static_cast<std::uint32_t>(e.data.size()));
        const std::uint32_t packed =
            e.declaredCompressed.value_or(static_cast<std::uint32_t>(stored.size()));
        const std::uint32_t method = e.deflate ? 8 : 0;
        const auto offset = static_cast<std::uint32_t>(zip.size());

        Put32(zip, 0x04034b50);
        Put16(zip, 20);
        Put16(zip, e.flags);
        Put16(zip, method);
        Put16(zip, 0);    // time
        Put16(zip, 0x21); // 1980-01-01
        Put32(zip, crc);
        Put32(zip, packed);
        Put32(zip, size);
        Put16(zip, static_cast<std::uint32_t>(e.name.size()));
        Put16(zip, 0);
        zip += e.name;
        zip += stored;

        Put32(central, 0x02014b50);
        Put16(central, (3u << 8) | 20u); // made on Unix: the attributes' high half is st_mode
        Put16(central, 20);
        Put16(central, e.flags);
        Put16(central, method);
        Put16(central, 0);
        Put16(central, 0x21);
        Put32(central, crc);
        Put32(central, packed);
        Put32(central, size);
        Put16(central, static_cast<std::uint32_t>(e.name.size()));
        Put16(central, 0);
        Put16(central, 0);
        Put16(central, 0);
        Put16(central, 0);
        Put32(central, e.externalAttributes);
        Put32(central, offset);
        central += e.name;
    }
    const auto centralOffset = static_cast<std::uint32_t>(zip.size());
    zip += central;
    Put32(zip, 0x06054b50);
    Put16(zip, 0);
    Put16(zip, 0);
    Put16(zip, static_cast<std::uint32_t>(entries.size()));
    Put16(zip, static_cast<std::uint32_t>(entries.size()));
    Put32(zip, static_cast<std::uint32_t>(central.size()));
    Put32(zip, centralOffset);
    Put16(zip, 0);
    return zip;
}

// A package of two measurements, from the entries of a saved one, whose second data file
// ends half way: it opens in part.
inline std::string WithSecondDataCut(std::map<std::string, std::string> e) {
    const std::string& flac = e["measurement-001.flac"];
    return ForgeZip({Entry("measurement-000.info", e["measurement-000.info"]),
                     Entry("measurement-000.flac", e["measurement-000.flac"]),
                     Entry("measurement-001.info", e["measurement-001.info"]),
                     Entry("measurement-001.flac", flac.substr(0, flac.size() / 2))});
}

} // namespace SonvelTest
