// Test oracles for the encoder: Capstone decodes what we emit, for 16-, 32-
// and 64-bit code; objdump backs it up where Capstone misreads 16-bit code.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include <capstone/capstone.h>

namespace vorak::test {

struct DecodedOperand {
  enum Kind { Reg, Imm, Mem } kind = Reg;
  std::string reg;       // Reg: register name
  int64_t imm = 0;       // Imm
  std::string segment;   // Mem: explicit segment, "" when none
  std::string base;      // Mem: "" when none
  std::string index;     // Mem: "" when none
  int scale = 1;         // Mem
  int64_t disp = 0;      // Mem
  unsigned size = 0;     // bytes
};

struct Decoded {
  bool ok = false;
  std::string text;      // "mnemonic op_str", as Capstone prints it
  std::string mnemonic;
  size_t length = 0;
  std::vector<DecodedOperand> ops;
  unsigned addrSize = 0;  // address size in bytes
  uint8_t rex = 0;
};

// x87 register forms: "fadd st(3)" and "fadd st, st(3)" are one instruction;
// the one-operand reading gets its st(0).
inline void canonicalStack(std::vector<DecodedOperand>& ops) {
  if (ops.size() == 1 && ops[0].kind == DecodedOperand::Reg && ops[0].reg.rfind("st(", 0) == 0) {
    DecodedOperand st0;
    st0.kind = DecodedOperand::Reg;
    st0.reg = "st(0)";
    ops.insert(ops.begin(), st0);
  }
}

namespace detail {
// One handle per mode, opened on first use and kept for the whole run.
inline csh capstoneHandle(int bits) {
  static csh handles[3] = {0, 0, 0};
  static bool opened[3] = {false, false, false};
  const int i = bits == 16 ? 0 : bits == 32 ? 1 : 2;
  if (!opened[i]) {
    const cs_mode mode = bits == 16 ? CS_MODE_16 : bits == 32 ? CS_MODE_32 : CS_MODE_64;
    if (cs_open(CS_ARCH_X86, mode, &handles[i]) != CS_ERR_OK) return 0;
    cs_option(handles[i], CS_OPT_DETAIL, CS_OPT_ON);
    opened[i] = true;
  }
  return handles[i];
}

inline std::string regName(csh h, unsigned reg) {
  if (reg == X86_REG_INVALID) return {};
  const char* n = cs_reg_name(h, reg);
  return n ? n : "";
}

inline Decoded fromInsn(csh h, const cs_insn& insn) {
  Decoded d;
  d.ok = true;
  d.mnemonic = insn.mnemonic;
  d.text = insn.mnemonic;
  if (insn.op_str[0]) d.text += std::string(" ") + insn.op_str;
  d.length = insn.size;
  const cs_x86& x = insn.detail->x86;
  d.addrSize = x.addr_size;
  d.rex = x.rex;
  for (int k = 0; k < x.op_count; ++k) {
    const cs_x86_op& o = x.operands[k];
    DecodedOperand op;
    op.size = o.size;
    if (o.type == X86_OP_REG) {
      op.kind = DecodedOperand::Reg;
      op.reg = regName(h, o.reg);
    } else if (o.type == X86_OP_IMM) {
      op.kind = DecodedOperand::Imm;
      op.imm = o.imm;
    } else {
      op.kind = DecodedOperand::Mem;
      op.segment = regName(h, o.mem.segment);
      op.base = regName(h, o.mem.base);
      op.index = regName(h, o.mem.index);
      op.scale = o.mem.scale;
      op.disp = o.mem.disp;
    }
    d.ops.push_back(op);
  }
  return d;
}
}  // namespace detail

// The first instruction of bytes in the given mode (16, 32 or 64); ok is
// false when Capstone cannot decode it.
inline Decoded decode(std::string_view bytes, int bits) {
  const csh h = detail::capstoneHandle(bits);
  cs_insn* insn = nullptr;
  const size_t n = cs_disasm(h, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 0, 1, &insn);
  if (n == 0) return {};
  Decoded d = detail::fromInsn(h, insn[0]);
  cs_free(insn, n);
  return d;
}

// Every instruction of bytes in order; stops at the first it cannot decode.
inline std::vector<Decoded> decodeAll(std::string_view bytes, int bits) {
  const csh h = detail::capstoneHandle(bits);
  cs_insn* insn = nullptr;
  const size_t n = cs_disasm(h, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 0, 0, &insn);
  std::vector<Decoded> out;
  for (size_t i = 0; i < n; ++i) out.push_back(detail::fromInsn(h, insn[i]));
  if (n) cs_free(insn, n);
  return out;
}

// "mnemonic op_str" of the only instruction in bytes, or a text that says
// why not: undecodable bytes, or bytes left over after the first instruction.
inline std::string disasmText(std::string_view bytes, int bits) {
  const Decoded d = decode(bytes, bits);
  if (!d.ok) return "<undecodable>";
  if (d.length != bytes.size())
    return d.text + " <decoded " + std::to_string(d.length) + " of " + std::to_string(bytes.size()) + " bytes>";
  return d.text;
}

// objdump's Intel-syntax text of the first instruction of bytes, with its
// length; empty text when objdump is missing or fails. Slow (one process per
// call): for the few 16-bit forms Capstone misnames (cbw and cwd).
struct ObjdumpResult {
  std::string text;
  size_t length = 0;
};

inline ObjdumpResult objdumpDecode(std::string_view bytes, int bits) {
  ObjdumpResult r;
  char path[] = "/tmp/vorak_objdump_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return r;
  std::FILE* f = fdopen(fd, "wb");
  if (!f) return r;
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  const char* machine = bits == 64 ? "i386:x86-64" : "i386";
  const char* opts = bits == 16 ? "intel,i8086" : "intel";
  const std::string cmd = std::string("objdump -D -b binary -m ") + machine + " -M " + opts + " " + path +
                          " 2>/dev/null";
  std::FILE* p = popen(cmd.c_str(), "r");
  if (p) {
    // Lines after "<.data>:" read "   0:\t66 98   \tcwde"; an instruction of
    // more than seven bytes continues on lines without a text column.
    bool inData = false;
    int seen = 0;
    char line[512];
    while (std::fgets(line, sizeof line, p)) {
      std::string s(line);
      while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
      if (!inData) {
        inData = s.find("<.data>:") != std::string::npos;
        continue;
      }
      const size_t t1 = s.find('\t');
      if (t1 == std::string::npos) continue;
      const size_t t2 = s.find('\t', t1 + 1);
      const std::string hex = s.substr(t1 + 1, t2 == std::string::npos ? std::string::npos : t2 - t1 - 1);
      if (t2 != std::string::npos && ++seen > 1) break;
      if (t2 != std::string::npos) {
        r.text = s.substr(t2 + 1);
        while (!r.text.empty() && r.text.back() == ' ') r.text.pop_back();
        // Collapse runs of blanks between mnemonic and operands.
        std::string c;
        for (char ch : r.text)
          if (!(ch == ' ' && !c.empty() && c.back() == ' ')) c += ch;
        r.text = c;
      }
      for (size_t i = 0; i + 1 < hex.size(); ++i)
        if (hex[i] != ' ' && hex[i + 1] != ' ') {
          ++r.length;
          ++i;
        }
    }
    pclose(p);
  }
  std::remove(path);
  return r;
}

}  // namespace vorak::test
