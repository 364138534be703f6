#include "gen_bytes.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace gen {

namespace {
void Grow(Bytes &b, uint32_t end) {
    if (b.size() < end) b.resize(end, 0);
}
} // namespace

void Put8(Bytes &b, uint32_t at, uint8_t v) {
    Grow(b, at + 1);
    b[at] = v;
}

void Put16(Bytes &b, uint32_t at, uint16_t v) {
    Grow(b, at + 2);
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}

void Put32(Bytes &b, uint32_t at, uint32_t v) {
    Put16(b, at, uint16_t(v));
    Put16(b, at + 2, uint16_t(v >> 16));
}

void Put16BE(Bytes &b, uint32_t at, uint16_t v) {
    Grow(b, at + 2);
    b[at] = uint8_t(v >> 8);
    b[at + 1] = uint8_t(v);
}

void Put32BE(Bytes &b, uint32_t at, uint32_t v) {
    Put16BE(b, at, uint16_t(v >> 16));
    Put16BE(b, at + 2, uint16_t(v));
}

void PutBytes(Bytes &b, uint32_t at, const Bytes &data) {
    Grow(b, at + uint32_t(data.size()));
    std::copy(data.begin(), data.end(), b.begin() + at);
}

uint16_t Get16(const Bytes &b, uint32_t at) { return uint16_t(b.at(at) | b.at(at + 1) << 8); }
uint32_t Get32(const Bytes &b, uint32_t at) { return Get16(b, at) | uint32_t(Get16(b, at + 2)) << 16; }
uint16_t Get16BE(const Bytes &b, uint32_t at) { return uint16_t(b.at(at) << 8 | b.at(at + 1)); }
uint32_t Get32BE(const Bytes &b, uint32_t at) {
    return uint32_t(Get16BE(b, at)) << 16 | Get16BE(b, at + 2);
}

Bytes PatternRecords(uint32_t count, uint16_t size, uint32_t seed) {
    Bytes out(size_t(count) * size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &byte : out) {
        x = x * 1103515245u + 12345u;
        byte = uint8_t(x >> 16);
    }
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
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) throw std::runtime_error("cannot create " + path);
    size_t n = data.empty() ? 0 : std::fwrite(data.data(), 1, data.size(), f);
    bool ok = std::fclose(f) == 0 && n == data.size();
    if (!ok) throw std::runtime_error("cannot write " + path);
}

Bytes ReadFile(const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) throw std::runtime_error("cannot open " + path);
    Bytes out;
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

} // namespace gen
