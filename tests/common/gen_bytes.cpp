#include "gen_bytes.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace gen {

namespace {
// The buffer grown with zeros to hold end bytes, for a write at at.
uint8_t *At(Bytes &b, uint32_t at, uint32_t n) {
    if (b.size() < size_t{at} + n) b.resize(size_t{at} + n, 0);
    return b.data() + at;
}
} // namespace

void Put8(Bytes &b, uint32_t at, uint8_t v) { *At(b, at, 1) = v; }
void Put16(Bytes &b, uint32_t at, uint16_t v) { Put8(b, at, uint8_t(v)), Put8(b, at + 1, uint8_t(v >> 8)); }
void Put32(Bytes &b, uint32_t at, uint32_t v) { Put16(b, at, uint16_t(v)), Put16(b, at + 2, uint16_t(v >> 16)); }
void Put16BE(Bytes &b, uint32_t at, uint16_t v) { Put8(b, at, uint8_t(v >> 8)), Put8(b, at + 1, uint8_t(v)); }
void Put32BE(Bytes &b, uint32_t at, uint32_t v) { Put16BE(b, at, uint16_t(v >> 16)), Put16BE(b, at + 2, uint16_t(v)); }
void PutBytes(Bytes &b, uint32_t at, const Bytes &data) {
    if (!data.empty()) std::copy(data.begin(), data.end(), At(b, at, uint32_t(data.size())));
}
uint16_t Get16(const Bytes &b, uint32_t at) { return uint16_t(b.at(at) | b.at(at + 1) << 8); }
uint32_t Get32(const Bytes &b, uint32_t at) { return Get16(b, at) | uint32_t(Get16(b, at + 2)) << 16; }
uint16_t Get16BE(const Bytes &b, uint32_t at) { return uint16_t(b.at(at) << 8 | b.at(at + 1)); }
uint32_t Get32BE(const Bytes &b, uint32_t at) { return uint32_t(Get16BE(b, at)) << 16 | Get16BE(b, at + 2); }

Bytes PatternRecords(uint32_t count, uint16_t size, uint32_t seed) {
    Bytes out(size_t(count) * size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &byte : out) byte = uint8_t((x = x * 1103515245u + 12345u) >> 16);
    return out;
}

TempDir::TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zunfs-gen-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

void WriteFile(const std::string &path, const Bytes &data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f.write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size())) || !f.flush())
        throw std::runtime_error("cannot write " + path);
}

Bytes ReadFile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot open " + path);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

} // namespace gen
