// Byte-level helpers for the file generators: little- and big-endian field
// access on byte buffers, rounding, and writing buffers to temporary files.
// The generators build storage files byte by byte from the documented
// layouts, independently of the library's own writer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace gen {

using Bytes = std::vector<uint8_t>;

// Field access; the buffer grows with zeros when a write lies past its end.
void Put8(Bytes &b, uint32_t at, uint8_t v);
void Put16(Bytes &b, uint32_t at, uint16_t v);   // little-endian
void Put32(Bytes &b, uint32_t at, uint32_t v);
void Put16BE(Bytes &b, uint32_t at, uint16_t v); // big-endian
void Put32BE(Bytes &b, uint32_t at, uint32_t v);
void PutBytes(Bytes &b, uint32_t at, const Bytes &data);
uint16_t Get16(const Bytes &b, uint32_t at);
uint32_t Get32(const Bytes &b, uint32_t at);
uint16_t Get16BE(const Bytes &b, uint32_t at);
uint32_t Get32BE(const Bytes &b, uint32_t at);

inline uint32_t RoundUp(uint32_t n, uint32_t unit) { return (n + unit - 1) / unit * unit; }

// count records of size bytes each, filled with a pattern derived from seed,
// so that every record of every test table differs.
Bytes PatternRecords(uint32_t count, uint16_t size, uint32_t seed);

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it
// when the value goes out of scope.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string File(const std::string &name) const { return path + "/" + name; }
};

void WriteFile(const std::string &path, const Bytes &data);
Bytes ReadFile(const std::string &path);

} // namespace gen
