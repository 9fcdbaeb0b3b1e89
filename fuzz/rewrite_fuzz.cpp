// Fuzzes the rewrite on arbitrary parameter-file bytes, with a replacement
// table and credential contents taken from the input, and checks the file it
// writes against a deliberately plain model of the rules.
//
// Input layout: byte 0 = entry count (0..4); per entry: name length (0..7),
// name bytes (NUL turned into 'x'), kind byte (bit 0: key or certificate);
// then per credential (key, certificate): a presence byte, a repeat count,
// a length byte and the bytes repeated; the rest is the parameter file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tool/credgraft.h"

namespace {

struct reader {
  const std::uint8_t* data;
  std::size_t size;
  std::uint8_t byte() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
  std::string bytes(std::size_t count) {
    if (count > size) count = size;
    std::string out(reinterpret_cast<const char*>(data), count);
    data += count;
    size -= count;
    return out;
  }
};

std::string model_base64(const std::string& bytes) {
  static const char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    unsigned group = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
    out += alphabet[(group >> 18) & 63];
    out += alphabet[(group >> 12) & 63];
    out += i + 1 < bytes.size() ? alphabet[(group >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? alphabet[group & 63] : '=';
  }
  return out;
}

bool same_ignoring_ascii_case(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

struct model_entry {
  std::string name;
  const std::string* credential;  // null: unreadable
};

// The rules, written the plain way: split into lines, match, replace.
int model_rewrite(const std::string& text, const std::vector<model_entry>& table,
                  std::string* out) {
  int status = 1;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t newline = text.find('\n', start);
    const std::size_t end = newline == std::string::npos ? text.size() : newline + 1;
    const std::string line = text.substr(start, end - start);
    const std::string body = newline == std::string::npos ? line : line.substr(0, line.size() - 1);
    const std::size_t equals = body.find('=');
    bool replaced = false;
    if (equals != std::string::npos) {
      const std::string key = body.substr(0, equals);
      for (const model_entry& entry : table) {
        if (!same_ignoring_ascii_case(key, entry.name) || entry.credential == nullptr) continue;
        const std::string credential = entry.credential->substr(0, entry.credential->find('\0'));
        const std::string value = model_base64(credential).substr(0, 16000);
        if (body.substr(equals + 1) != value) status = 0;
        *out += entry.name + "=" + value + "\n";
        replaced = true;
        break;
      }
    }
    if (!replaced) *out += line;
    start = end;
  }
  return status;
}

std::string directory;

void write_whole(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() ||
      std::fclose(f) != 0) {
    std::abort();
  }
}

std::string read_whole(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) std::abort();
  std::string bytes;
  char chunk[65536];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.append(chunk, got);
  std::fclose(f);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/credgraft-fuzz-XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  directory = pattern;
  std::atexit([] {
    for (const char* name : {"/latest.key", "/latest.crt", "/params.conf"}) {
      std::remove((directory + name).c_str());
    }
    rmdir(directory.c_str());
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  reader in{data, size};
  const int count = in.byte() % 5;
  std::vector<std::string> names;
  std::vector<int> kinds;
  for (int i = 0; i < count; ++i) {
    std::string name = in.bytes(in.byte() % 8);
    for (char& c : name) {
      if (c == '\0') c = 'x';
    }
    names.push_back(name);
    kinds.push_back(in.byte() & 1);
  }
  const std::string paths[2] = {directory + "/latest.key", directory + "/latest.crt"};
  std::string credentials[2];
  bool present[2];
  for (int kind = 0; kind < 2; ++kind) {
    present[kind] = (in.byte() & 7) != 0;
    const int repeat = 1 + in.byte() % 64;
    const std::string piece = in.bytes(in.byte());
    for (int i = 0; i < repeat; ++i) credentials[kind] += piece;
    std::remove(paths[kind].c_str());
    if (present[kind]) write_whole(paths[kind], credentials[kind]);
  }
  // 0: the text handed over whole; else read in pieces of that many bytes.
  const std::size_t piece = in.byte();
  const std::string text = in.bytes(in.size);

  std::vector<replacement_entry> table;
  std::vector<model_entry> model;
  for (int i = 0; i < count; ++i) {
    table.push_back({names[i].c_str(), paths[kinds[i]].c_str(), kinds[i] == 0});
    model.push_back({names[i], present[kinds[i]] ? &credentials[kinds[i]] : nullptr});
  }
  table.push_back({nullptr, nullptr, false});

  const std::string file = directory + "/params.conf";
  write_whole(file, text);
  struct stat info;
  if (stat(file.c_str(), &info) != 0) std::abort();
  const int status =
      piece == 0 ? rewrite_parameter_file(file.c_str(), text.data(), text.size(),
                                          file_identity_of(info), table.data())
                 : rewrite_parameter_path(file.c_str(), table.data(), piece);
  std::string expected;
  const int expected_status = model_rewrite(text, model, &expected);
  const std::string written = read_whole(file);
  if (status != expected_status || written != expected) {
    std::fprintf(stderr, "mismatch: status %d, model %d; %zu bytes written, model %zu\n", status,
                 expected_status, written.size(), expected.size());
    std::abort();
  }
  // Line count is kept: a last line gains a line feed only when replaced.
  auto lines = [](const std::string& s) {
    std::size_t n = 0;
    for (char c : s) n += c == '\n';
    return n + (!s.empty() && s.back() != '\n');
  };
  if (lines(written) != lines(text)) std::abort();
  return 0;
}
