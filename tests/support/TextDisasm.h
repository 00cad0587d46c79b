// Second and third opinions for the encoder tests: llvm-mc and objdump, run
// once over a whole batch of instructions, their Intel-syntax text read back
// into the operand form of Disasm.h. Capstone misreads a few SSE forms (it
// takes 66 0F 12 with two registers for movhlps, reports comiss as reading 16
// bytes, and in 16-bit mode treats a mandatory 66 as an operand-size prefix);
// llvm-mc knows the SSE tables but shares that 16-bit fault, which objdump
// does not have.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "support/Disasm.h"

namespace vorak::test {

namespace textdisasm {

inline std::string lower(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

inline std::string trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return std::string(s.substr(b, e - b));
}

inline bool parseNumber(std::string_view s, int64_t& v) {
  if (s.empty()) return false;
  const std::string t(s);
  char* end = nullptr;
  const bool hex = t.size() > 2 && t[0] == '0' && t[1] == 'x';
  const unsigned long long u = std::strtoull(hex ? t.c_str() + 2 : t.c_str(), &end, hex ? 16 : 10);
  if (!end || *end != 0 || end == t.c_str() + (hex ? 2 : 0)) return false;
  v = static_cast<int64_t>(u);
  return true;
}

inline unsigned sizeOfKeyword(std::string_view w) {
  if (w == "byte") return 1;
  if (w == "word") return 2;
  if (w == "dword") return 4;
  if (w == "qword" || w == "mmword") return 8;
  if (w == "tbyte" || w == "xword") return 10;
  if (w == "xmmword" || w == "oword") return 16;
  return 0;
}

// "[esi + 4*ecx + 16]", "[bx+si-0x80]", "[edi*8+0x10]": the part inside the brackets.
inline bool parseAddress(std::string_view s, DecodedOperand& op) {
  size_t i = 0;
  int sign = 1;
  while (i < s.size()) {
    while (i < s.size() && s[i] == ' ') ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
      sign = s[i] == '-' ? -1 : 1;
      ++i;
      continue;
    }
    size_t j = i;
    while (j < s.size() && s[j] != '+' && s[j] != '-') ++j;
    const std::string term = trim(s.substr(i, j - i));
    i = j;
    if (term.empty()) return false;
    const size_t star = term.find('*');
    int64_t n = 0;
    if (star != std::string::npos) {
      std::string a = trim(term.substr(0, star)), b = trim(term.substr(star + 1));
      if (parseNumber(a, n)) std::swap(a, b);
      if (!parseNumber(b, n)) return false;
      if (a != "eiz" && a != "riz") {
        op.index = a;
        op.scale = static_cast<int>(n);
      }
    } else if (parseNumber(term, n)) {
      op.disp += sign * n;
    } else if (term == "eiz" || term == "riz") {
    } else if (op.base.empty()) {
      op.base = term;
    } else if (op.index.empty()) {
      op.index = term;
      op.scale = 1;
    } else {
      return false;
    }
    sign = 1;
  }
  return true;
}

inline bool parseOperand(std::string s, DecodedOperand& op) {
  s = trim(s);
  if (s == "st") s = "st(0)";
  const size_t ptr = s.find(" ptr ");
  if (ptr != std::string::npos) {
    op.size = sizeOfKeyword(trim(s.substr(0, ptr)));
    s = trim(s.substr(ptr + 5));
  }
  bool segment = false;
  if (s.size() > 3 && s[2] == ':' && s[1] == 's') {
    op.segment = s.substr(0, 2);
    s = s.substr(3);
    segment = true;
  }
  int64_t n = 0;
  if (!s.empty() && s.front() == '[') {
    if (s.back() != ']') return false;
    op.kind = DecodedOperand::Mem;
    return parseAddress(std::string_view(s).substr(1, s.size() - 2), op);
  }
  const bool negative = !s.empty() && s[0] == '-';
  if (parseNumber(negative ? std::string_view(s).substr(1) : std::string_view(s), n)) {
    if (negative) n = -n;
    if (segment || ptr != std::string::npos) {  // objdump's absolute address: ds:0x1234
      op.kind = DecodedOperand::Mem;
      op.disp = n;
    } else {
      op.kind = DecodedOperand::Imm;
      op.imm = n;
    }
    return true;
  }
  if (ptr != std::string::npos || segment) return false;
  op.kind = DecodedOperand::Reg;
  op.reg = s;
  return true;
}

// One instruction in Intel syntax: "mnemonic op, op"; comments dropped.
inline Decoded parseIntel(std::string_view line) {
  Decoded d;
  std::string s = lower(line);
  const size_t hash = s.find('#');
  if (hash != std::string::npos) s.resize(hash);
  s = trim(s);
  if (s.empty() || s == "(bad)") return d;
  size_t sp = s.find_first_of(" \t");
  d.mnemonic = s.substr(0, sp);
  d.text = s;
  if (sp != std::string::npos) {
    const std::string rest = trim(s.substr(sp));
    int depth = 0;
    std::string cur;
    for (char c : rest) {
      if (c == '[') ++depth;
      if (c == ']') --depth;
      if (c == ',' && depth == 0) {
        DecodedOperand op;
        if (!parseOperand(cur, op)) return {};
        d.ops.push_back(op);
        cur.clear();
      } else {
        cur += c;
      }
    }
    if (!trim(cur).empty()) {
      DecodedOperand op;
      if (!parseOperand(cur, op)) return {};
      d.ops.push_back(op);
    }
  }
  d.ok = true;
  return d;
}

inline std::string tempPath(const char* stem) {
  std::string p = std::string("/tmp/") + stem + "_XXXXXX";
  const int fd = mkstemp(p.data());
  if (fd < 0) return {};
  close(fd);
  return p;
}

inline std::string readCommand(const std::string& cmd) {
  std::string out;
  std::FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> r;
  size_t b = 0;
  while (b < text.size()) {
    size_t e = text.find('\n', b);
    if (e == std::string::npos) e = text.size();
    r.push_back(text.substr(b, e - b));
    b = e + 1;
  }
  return r;
}

// What llvm-mc's disassembly read, in order; a warning (an invalid encoding)
// reads as an entry that is not ok.
inline std::vector<Decoded> llvmReadings(const std::string& text) {
  std::vector<Decoded> got;
  for (const std::string& l : lines(text)) {
    if (l.find("warning:") != std::string::npos) {
      got.emplace_back();
      continue;
    }
    if (l.empty() || l[0] != '\t' || l.find(".text") != std::string::npos) continue;
    std::string insn = l;
    for (char& c : insn)
      if (c == '\t') c = ' ';
    got.push_back(parseIntel(insn));
  }
  return got;
}

// One instruction of objdump's listing of a binary file: its offset, its
// length (continuation lines included) and its text.
struct ObjdumpEntry {
  size_t offset, length;
  std::string text;
};

// The instructions of objdump's listing, in order.
inline std::vector<ObjdumpEntry> objdumpEntries(const std::string& text) {
  std::vector<ObjdumpEntry> entries;
  bool inData = false;
  for (const std::string& l : lines(text)) {
    if (!inData) {
      inData = l.find("<.data>:") != std::string::npos;
      continue;
    }
    const size_t colon = l.find(':');
    const size_t t1 = l.find('\t');
    if (colon == std::string::npos || t1 == std::string::npos || colon > t1) continue;
    const size_t offset = std::strtoul(l.substr(0, colon).c_str(), nullptr, 16);
    const size_t t2 = l.find('\t', t1 + 1);
    const std::string hex = l.substr(t1 + 1, t2 == std::string::npos ? std::string::npos : t2 - t1 - 1);
    size_t count = 0;
    for (size_t i = 0; i + 1 < hex.size(); ++i)
      if (hex[i] != ' ' && hex[i + 1] != ' ') {
        ++count;
        ++i;
      }
    // A line without text continues the one before.
    if (t2 == std::string::npos) {
      if (!entries.empty()) entries.back().length += count;
      continue;
    }
    entries.push_back({offset, count, l.substr(t2 + 1)});
  }
  return entries;
}

// llvm-mc over a batch, each instruction on a line of its own and followed
// by int3 (CC): the text holds no lengths (--show-encoding prints llvm's own
// encoding, not the bytes read), so an instruction took exactly its bytes
// when the next thing read is that int3. The result holds, per input, the
// decoded instruction, with length 0 when it did not take exactly its bytes.
inline std::vector<Decoded> llvmRun(const std::vector<std::string>& code, int bits) {
  std::vector<Decoded> out(code.size());
  const std::string path = tempPath("vorak_llvm");
  if (path.empty()) return out;
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return out;
  for (const std::string& c : code) {
    for (unsigned char b : c) std::fprintf(f, "0x%02x ", b);
    std::fputs("0xcc\n", f);
  }
  std::fclose(f);
  const char* triple = bits == 64 ? "x86_64" : bits == 32 ? "i386" : "i386-unknown-code16";
  const std::string text = readCommand(std::string("llvm-mc --disassemble -output-asm-variant=1 -triple=") + triple +
                                       " " + path + " 2>&1");
  std::remove(path.c_str());
  const std::vector<Decoded> got = llvmReadings(text);
  auto isInt3 = [](const Decoded& d) { return d.ok && d.mnemonic == "int3"; };
  size_t k = 0;
  for (size_t i = 0; i < code.size(); ++i) {
    if (k + 1 < got.size() && got[k].ok && !isInt3(got[k]) && isInt3(got[k + 1])) {
      out[i] = got[k];
      out[i].length = code[i].size();
      k += 2;
      continue;
    }
    if (code.size() == 1) {
      // Not one instruction of exactly these bytes: report what was read.
      if (k < got.size() && got[k].ok) {
        out[i] = got[k];
        out[i].length = 0;
      }
      break;
    }
    // Out of step from here on: ask one by one.
    for (size_t r = i; r < code.size(); ++r) out[r] = llvmRun({code[r]}, bits)[0];
    break;
  }
  return out;
}

// objdump over the batch laid end to end; instructions must start where
// their predecessors' lengths say.
inline std::vector<Decoded> objdumpRun(const std::vector<std::string>& code, int bits) {
  std::vector<Decoded> out(code.size());
  const std::string path = tempPath("vorak_objdump");
  if (path.empty()) return out;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return out;
  for (const std::string& c : code) std::fwrite(c.data(), 1, c.size(), f);
  std::fclose(f);
  const char* machine = bits == 64 ? "i386:x86-64" : "i386";
  const char* opts = bits == 16 ? "intel,i8086" : "intel";
  const std::string text = readCommand(std::string("objdump -D -z -b binary -m ") + machine + " -M " + opts + " " +
                                       path + " 2>/dev/null");
  std::remove(path.c_str());
  const std::vector<ObjdumpEntry> entries = objdumpEntries(text);
  size_t offset = 0, k = 0;
  for (size_t i = 0; i < code.size(); ++i) {
    while (k < entries.size() && entries[k].offset < offset) ++k;
    if (k < entries.size() && entries[k].offset == offset) {
      out[i] = parseIntel(entries[k].text);
      out[i].length = entries[k].length;
    }
    if (!out[i].ok || out[i].length != code[i].size()) {
      // Out of step after a misread instruction: this one alone.
      const ObjdumpResult single = objdumpDecode(code[i], bits);
      out[i] = parseIntel(single.text);
      out[i].length = single.length;
    }
    offset += code[i].size();
  }
  return out;
}

}  // namespace textdisasm

// The text oracle of a mode: objdump for 16-bit code, llvm-mc otherwise.
// Entries whose ok is false were not decoded. The test build requires both
// tools, so a missing one shows as failures, never as silence.
inline std::vector<Decoded> textDecodeBatch(const std::vector<std::string>& code, int bits) {
  if (bits == 16) return textdisasm::objdumpRun(code, bits);
  return textdisasm::llvmRun(code, bits);
}

}  // namespace vorak::test
