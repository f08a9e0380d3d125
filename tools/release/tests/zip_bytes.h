// Zip archives written byte by byte for the tests: stored entries, with the
// knobs that unusual archives need (flags, method, zip64 end records).
#pragma once
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

struct TestEntry {
  std::string name;
  std::string data;
  uint16_t flags = 0;
  uint16_t method = 0;
};

struct ZipShape {
  std::string comment;
  bool zip64 = false;          // classic record fields at their maximum, real values in zip64
};

inline uint32_t crc32_of(const std::string& data) {
  uint32_t c = 0xFFFFFFFF;
  for (unsigned char b : data) {
    c ^= b;
    for (int k = 0; k < 8; k++) c = c >> 1 ^ (0xEDB88320 & (0 - (c & 1)));
  }
  return ~c;
}

inline void put16(std::string& s, uint32_t v) {
  s += (char)(v & 0xFF);
  s += (char)(v >> 8 & 0xFF);
}
inline void put32(std::string& s, uint32_t v) {
  put16(s, v & 0xFFFF);
  put16(s, v >> 16);
}
inline void put64(std::string& s, uint64_t v) {
  put32(s, (uint32_t)v);
  put32(s, (uint32_t)(v >> 32));
}

inline std::string zip_bytes(const std::vector<TestEntry>& entries, const ZipShape& shape = {}) {
  std::string out, dir;
  for (const TestEntry& e : entries) {
    uint32_t local = (uint32_t)out.size();
    put32(out, 0x04034b50);
    put16(out, 20);
    put16(out, e.flags);
    put16(out, e.method);
    put32(out, 0);  // time, date
    put32(out, crc32_of(e.data));
    put32(out, (uint32_t)e.data.size());
    put32(out, (uint32_t)e.data.size());
    put16(out, (uint32_t)e.name.size());
    put16(out, 0);
    out += e.name + e.data;

    put32(dir, 0x02014b50);
    put16(dir, 20);
    put16(dir, 20);
    put16(dir, e.flags);
    put16(dir, e.method);
    put32(dir, 0);
    put32(dir, crc32_of(e.data));
    put32(dir, (uint32_t)e.data.size());
    put32(dir, (uint32_t)e.data.size());
    put16(dir, (uint32_t)e.name.size());
    put16(dir, 4);  // an extra field of an unknown kind, to be skipped
    put16(dir, 1);  // and a comment
    put16(dir, 0);
    put16(dir, 0);
    put32(dir, 0);
    put32(dir, local);
    dir += e.name;
    put32(dir, 0xCAFE);
    dir += "c";
  }
  uint64_t dir_at = out.size();
  uint64_t count = entries.size();
  out += dir;
  if (shape.zip64) {
    uint64_t z64_at = out.size();
    put32(out, 0x06064b50);
    put64(out, 44);
    put16(out, 45);
    put16(out, 45);
    put32(out, 0);
    put32(out, 0);
    put64(out, count);
    put64(out, count);
    put64(out, dir.size());
    put64(out, dir_at);
    put32(out, 0x07064b50);
    put32(out, 0);
    put64(out, z64_at);
    put32(out, 1);
  }
  put32(out, 0x06054b50);
  put16(out, 0);
  put16(out, 0);
  put16(out, shape.zip64 ? 0xFFFF : (uint32_t)count);
  put16(out, shape.zip64 ? 0xFFFF : (uint32_t)count);
  put32(out, shape.zip64 ? 0xFFFFFFFF : (uint32_t)dir.size());
  put32(out, shape.zip64 ? 0xFFFFFFFF : (uint32_t)dir_at);
  put16(out, (uint32_t)shape.comment.size());
  out += shape.comment;
  return out;
}

// A file in the working directory that is removed again at the end of the test.
struct TempFile {
  std::string path;
  TempFile(const std::string& name, const std::string& bytes) : path(name) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f) {
      fwrite(bytes.data(), 1, bytes.size(), f);
      fclose(f);
    }
  }
  ~TempFile() { remove(path.c_str()); }
};
