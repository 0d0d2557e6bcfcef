// The image reader on the test firmware as the ARM toolchain writes it, and
// on damaged copies of it.
#include "image_format.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "firmware_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Reads the bytes through a file named `name`, as the flasher does; with
// `sparse`, the file is first made that long (the rest reads as zeros).
layout_problem load(const Bytes& bytes, image_layout* layout, layout_fault* fault,
                    const char* name = "image", uint32_t sparse = 0) {
  FILE* f = tmpfile();
  EXPECT_NE(f, nullptr);
  if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
  fflush(f);
  if (sparse != 0) {
    EXPECT_EQ(ftruncate(fileno(f), sparse), 0);
  }
  const uint32_t size = sparse != 0 ? sparse : static_cast<uint32_t>(bytes.size());
  const layout_problem p = image_load(fileno(f), size, name, layout, fault);
  fclose(f);
  return p;
}

// The flash an image leaves behind, from address 0 to its end; erased
// (0xFF) where it writes nothing.
Bytes flash_of(const image_layout& layout) {
  Bytes flash(image_end_address(&layout), 0xFF);
  for (size_t i = 0; i < layout.count; ++i) {
    const image_run& r = layout.runs[i];
    std::copy(r.bytes, r.bytes + r.size, flash.begin() + r.address);
  }
  return flash;
}

std::vector<std::pair<uint32_t, uint32_t>> runs_of(const image_layout& layout) {
  std::vector<std::pair<uint32_t, uint32_t>> runs;
  for (size_t i = 0; i < layout.count; ++i) runs.push_back({layout.runs[i].address, layout.runs[i].size});
  return runs;
}

TEST(ImageFormat, TheSameProgramInEveryFormatGivesTheSameFlash) {
  SKIP_WITHOUT_FIRMWARE();
  const Bytes bin = firmware_bytes("plain.bin");
  const struct {
    const char* file;
    image_format format;
  } cases[] = {{"plain.bin", image_format::raw},
               {"plain.elf", image_format::elf},
               {"plain.hex", image_format::hex},
               {"plain.srec", image_format::srec}};
  std::vector<std::pair<uint32_t, uint32_t>> text_runs;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const Bytes file = firmware_bytes(c.file);
    image_layout layout;
    layout_fault fault;
    ASSERT_EQ(load(file, &layout, &fault, c.file), layout_problem::none) << static_cast<int>(fault.problem);
    EXPECT_EQ(layout.format, c.format);
    EXPECT_EQ(flash_of(layout), bin);
    EXPECT_EQ(layout.security_byte, 0xFE);
    if (c.format != image_format::raw) {
      // The program near 0 and the table far from it; the short gap before
      // the constants is joined.
      EXPECT_EQ(layout.count, 2u);
      if (text_runs.empty()) text_runs = runs_of(layout);
      EXPECT_EQ(runs_of(layout), text_runs);
    }
    image_release(&layout);
  }
}

// Text helpers for the damaged copies.
std::vector<std::string> lines_of(const Bytes& b) {
  std::vector<std::string> lines;
  std::string line;
  for (uint8_t c : b) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += static_cast<char>(c);
    }
  }
  return lines;
}
Bytes text(const std::vector<std::string>& lines) {
  Bytes b;
  for (const auto& l : lines) {
    b.insert(b.end(), l.begin(), l.end());
    b.push_back('\n');
  }
  return b;
}
std::string hex_digits(const Bytes& bytes) {
  std::string s;
  char pair[3];
  for (uint8_t v : bytes) {
    snprintf(pair, sizeof pair, "%02X", v);
    s += pair;
  }
  return s;
}
// An Intel HEX record with a correct checksum.
std::string hex_record(uint8_t type, uint16_t offset, const Bytes& data) {
  Bytes b = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(offset >> 8),
             static_cast<uint8_t>(offset), type};
  b.insert(b.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (uint8_t v : b) sum += v;
  b.push_back(static_cast<uint8_t>(-sum));
  return ":" + hex_digits(b);
}
std::string srec_record(char type, const Bytes& address_and_data) {
  Bytes b = {static_cast<uint8_t>(address_and_data.size() + 1)};
  b.insert(b.end(), address_and_data.begin(), address_and_data.end());
  unsigned sum = 0;
  for (uint8_t v : b) sum += v;
  b.push_back(static_cast<uint8_t>(~sum));
  return std::string("S") + type + hex_digits(b);
}
void put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

TEST(ImageFormat, DamagedImagesAreRefusedWithTheirReason) {
  SKIP_WITHOUT_FIRMWARE();
  const auto hex = lines_of(firmware_bytes("plain.hex"));
  const auto srec = lines_of(firmware_bytes("plain.srec"));
  const Bytes elf = firmware_bytes("plain.elf");
  const size_t ph = elf[28] | elf[29] << 8;  // first program header

  auto edit = [](auto lines, auto change) {
    change(lines);
    return text(lines);
  };
  auto elf_edit = [&](auto change) {
    Bytes b = elf;
    change(b);
    return b;
  };
  std::vector<std::string> far_apart;
  for (int i = 0; i <= 64; ++i) far_apart.push_back(hex_record(0, static_cast<uint16_t>(i * 128), {1}));
  far_apart.push_back(":00000001FF");

  const struct {
    const char* name;
    Bytes file;
    layout_problem problem;
    unsigned long line;
  } cases[] = {
      {"HEX checksum", edit(hex, [](auto& l) { l[2][9] = l[2][9] == '0' ? '1' : '0'; }), layout_problem::bad_checksum, 3},
      {"HEX record cut short", edit(hex, [](auto& l) { l[3].resize(20); }), layout_problem::bad_record, 4},
      {"HEX line of 100 KB", edit(hex, [](auto& l) { l[1] = ":" + std::string(100000, 'A'); }),
       layout_problem::bad_record, 2},
      {"HEX record type 06",
       edit(hex, [](auto& l) { l.insert(l.begin() + 1, hex_record(6, 0, {1, 2})); }),
       layout_problem::bad_record_type, 2},
      {"HEX without end record", edit(hex, [](auto& l) { l.pop_back(); }), layout_problem::no_end, 0},
      {"HEX record after the end",
       edit(hex, [](auto& l) { l.push_back(l[0]); }), layout_problem::after_end, hex.size() + 1},
      {"HEX data past 4 GiB",
       edit(hex, [](auto& l) {
         l.insert(l.begin() + 1, hex_record(4, 0, {0xFF, 0xFF}));
         l.insert(l.begin() + 2, hex_record(0, 0xFFF0, Bytes(32, 1)));
       }),
       layout_problem::past_4gib, 3},
      {"HEX byte given twice, differently",
       edit(hex, [](auto& l) { l.push_back(hex_record(0, 0x0004, {0x00})); std::swap(l[l.size() - 1], l[l.size() - 2]); }),
       layout_problem::overlap, 0},
      {"HEX without data", text({":00000001FF"}), layout_problem::no_data, 0},
      {"HEX with 65 runs", text(far_apart), layout_problem::too_many_runs, 0},
      {"S-record checksum", edit(srec, [](auto& l) { l[1][9] = l[1][9] == '0' ? '1' : '0'; }), layout_problem::bad_checksum, 2},
      {"S-record count wrong",
       edit(srec, [](auto& l) { l.insert(l.end() - 1, srec_record('5', {0x00, 0x01})); }),
       layout_problem::bad_count, srec.size()},
      {"S-record without end", edit(srec, [](auto& l) { l.pop_back(); }), layout_problem::no_end, 0},
      {"ELF for another machine", elf_edit([](Bytes& b) { b[18] = 3; }),
       layout_problem::elf_not_executable, 0},
      {"ELF program headers past the end", elf_edit([](Bytes& b) { put32(b, 28, static_cast<uint32_t>(b.size() - 8)); }),
       layout_problem::elf_headers, 0},
      {"ELF header table size overflowing 32 bits",
       elf_edit([](Bytes& b) { b[42] = b[43] = 0xFF; b[44] = 0xFE; b[45] = 0xFF; }),
       layout_problem::elf_headers, 0},
      {"ELF segment offset outside the file", elf_edit([&](Bytes& b) { put32(b, ph + 4, 0xFFFFFFF0); }),
       layout_problem::elf_segment, 1},
      {"ELF segment size overflowing 32 bits", elf_edit([&](Bytes& b) { put32(b, ph + 16, 0xFFFFFFFF); }),
       layout_problem::elf_segment, 1},
      {"ELF segment past 4 GiB", elf_edit([&](Bytes& b) { put32(b, ph + 12, 0xFFFFFF00); }),
       layout_problem::past_4gib, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    image_layout layout;
    layout_fault fault;
    EXPECT_EQ(load(c.file, &layout, &fault), c.problem);
    EXPECT_EQ(fault.problem, c.problem);
    if (c.line != 0) {
      EXPECT_EQ(fault.line, c.line);
    }
    EXPECT_EQ(layout.memory, nullptr);
    char why[256];
    image_describe(&fault, why, sizeof why);
    if (c.line != 0) {
      EXPECT_NE(std::string(why).find(std::to_string(c.line)), std::string::npos) << why;
    }
  }
}

TEST(ImageFormat, ImagesThatWouldLockTheMcuOutAreRefused) {
  SKIP_WITHOUT_FIRMWARE();
  const auto with_security = [](uint8_t fsec) {
    Bytes b = firmware_bytes("plain.bin");
    b[0x40C] = fsec;
    return b;
  };
  const Bytes no_mass_erase = with_security(0xEE);  // unsecured, mass erase disabled
  const struct {
    const char* name;
    Bytes file;
    bool refused;
  } cases[] = {
      {"unsecured", firmware_bytes("plain.hex"), false},
      {"unsecured, mass erase disabled", no_mass_erase, false},
      {"secured, mass erase enabled", firmware_bytes("secured.elf"), false},
      {"raw image ending before 0x40C", Bytes(0x40C, 0xEF), false},
      {"locked HEX", firmware_bytes("locked.hex"), true},
      {"locked S-record", firmware_bytes("locked.srec"), true},
      {"locked ELF", firmware_bytes("locked.elf"), true},
      {"locked binary", firmware_bytes("locked.bin"), true},
      // Byte 0x40C with mass erase disabled (bits 5-4 = 10): every value
      // of bits 1-0 but 10 secures the MCU; other bits do not matter.
      {"0xEC", with_security(0xEC), true},
      {"0xED", with_security(0xED), true},
      {"0xEE", with_security(0xEE), false},
      {"0x2D", with_security(0x2D), true},
      // Mass erase enabled (bits 5-4 = 00, 01, 11): secured, but erasable.
      {"0xCC", with_security(0xCC), false},
      {"0xDD", with_security(0xDD), false},
      {"0xFF", with_security(0xFF), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    image_layout layout;
    layout_fault fault;
    ASSERT_EQ(load(c.file, &layout, &fault), layout_problem::none);
    EXPECT_EQ(image_lock_guard(&layout, &fault),
              c.refused ? layout_problem::locks_mcu : layout_problem::none);
    image_release(&layout);
  }
}

// What a file is read as, by its name and content: a name that promises a
// format holds it; any other name goes by content; text as tools leave it.
TEST(ImageFormat, NamesAndContents) {
  SKIP_WITHOUT_FIRMWARE();
  const Bytes bin = firmware_bytes("plain.bin");
  const Bytes hex = firmware_bytes("plain.hex");
  const Bytes srec = firmware_bytes("plain.srec");
  const Bytes elf = firmware_bytes("plain.elf");
  Bytes at_64k(0x10000, 0xFF);
  at_64k.insert(at_64k.end(), bin.begin(), bin.end());
  const auto bom = [](Bytes b) {
    b.insert(b.begin(), {0xEF, 0xBB, 0xBF});
    return b;
  };
  // Each line end (objcopy's CR LF, or LF) replaced by `end`.
  const auto ends = [](const Bytes& b, const std::string& end) {
    std::string t;
    for (uint8_t c : b)
      if (c != '\r') t += c == '\n' ? end : std::string(1, static_cast<char>(c));
    return Bytes(t.begin(), t.end());
  };
  const auto with_lines = [](const Bytes& b, size_t at, const std::string& line) {
    auto lines = lines_of(b);
    lines.insert(lines.begin() + static_cast<long>(at), line);
    return text(lines);
  };
  const Bytes cut(hex.begin(), hex.begin() + 20);  // a download cut in line 1
  Bytes elf_2047 = elf;  // 2,047 segments, each mapping the whole file
  const size_t table = elf_2047.size();
  elf_2047.resize(table + 2047 * 32);
  put32(elf_2047, 28, static_cast<uint32_t>(table));
  put32(elf_2047, 42, 32 | 2047u << 16);
  for (size_t i = 0; i < 2047; ++i) {
    const size_t h = table + 32 * i;
    put32(elf_2047, h, 1);  // loadable: offset 0, address 0, the whole file
    put32(elf_2047, h + 16, static_cast<uint32_t>(elf_2047.size()));
  }
  const std::string first_hex_line = lines_of(hex)[0] + "\n";
  std::string nul_line = lines_of(hex)[1];
  nul_line[5] = '\0';
  const struct {
    const char* name;
    Bytes file;
    image_format format;  // when read
    Bytes flash;          // when read
    layout_problem problem = layout_problem::none;
    unsigned long line = 0;
    uint32_t sparse = 0;  // the file's size, past the bytes given
  } cases[] = {
      {"fw.hex", hex, image_format::hex, bin},
      {"FW.IHX", hex, image_format::hex, bin},
      {"fw.s19", srec, image_format::srec, bin},
      {"fw.s28", firmware_bytes("plain.s28"), image_format::srec, at_64k},
      {"fw.S37", firmware_bytes("plain.s37"), image_format::srec, bin},
      {"fw.axf", elf, image_format::elf, bin},
      {"fw.bin", elf, image_format::elf, bin},
      {"fw.bin", hex, image_format::hex, bin},
      {"fw", srec, image_format::srec, bin},
      {"fw.dat", bin, image_format::raw, bin},
      {"fw.img", cut, image_format::raw, cut},
      {"fw", bom(hex), image_format::hex, bin},
      {"fw.ihex", ends(hex, "\n"), image_format::hex, bin},
      {"fw", ends(hex, "\r\r\n"), image_format::hex, bin},
      {"fw.mot", ends(srec, " \t \r\n"), image_format::srec, bin},
      {"fw", bom(with_lines(with_lines(hex, 0, ""), 3, " \t")), image_format::hex, bin},
      {"FW.Hex", bin, {}, {}, layout_problem::bad_record, 1},
      {"fw.srec", hex, {}, {}, layout_problem::bad_record, 1},
      {"fw.hex", elf, {}, {}, layout_problem::bad_record, 1},
      {"fw.elf", hex, {}, {}, layout_problem::elf_not_executable, 0},
      {"fw", cut, {}, {}, layout_problem::bad_record, 1},
      {"fw", ends(hex, "\r"), {}, {}, layout_problem::bad_record, 1},
      {"fw", ends(hex, "\r\r\r\n"), {}, {}, layout_problem::bad_record, 1},
      {"fw", ends(hex, "\r \n"), {}, {}, layout_problem::bad_record, 1},
      {"fw", with_lines(hex, 0, " " + lines_of(hex)[0]), {}, {}, layout_problem::bad_record, 1},
      {"fw", with_lines(hex, 2, "\t"), image_format::hex, bin},
      {"fw.hex", with_lines(hex, 1, nul_line), {}, {}, layout_problem::bad_record, 2},
      {"fw", bom({}), {}, {}, layout_problem::no_data, 0},
      {"fw.hex", bom({}), {}, {}, layout_problem::no_end, 0},
      {"fw", ends(Bytes(3000, '\n'), " \r\n"), {}, {}, layout_problem::no_data, 0},
      {"fw.bin", elf_2047, {}, {}, layout_problem::elf_overlap, 2},
      {"big.dat", Bytes(first_hex_line.begin(), first_hex_line.end()), {}, {},
       layout_problem::file_too_large, 0, 300u << 20},
      {"big.bin", bin, {}, {}, layout_problem::file_too_large, 0, IMAGE_MAX_FLASH + 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " row " + std::to_string(&c - cases));
    image_layout layout;
    layout_fault fault;
    const layout_problem p = load(c.file, &layout, &fault, c.name, c.sparse);
    EXPECT_EQ(p, c.problem) << static_cast<int>(p) << " line " << fault.line;
    if (p != layout_problem::none) {
      EXPECT_EQ(fault.line, c.line);
      continue;
    }
    EXPECT_EQ(layout.format, c.format);
    EXPECT_EQ(flash_of(layout), c.flash);
    image_release(&layout);
  }
}

// Runs are joined across short gaps, but never across bytes of the flash
// configuration field (0x400-0x40F) that the image does not hold.
TEST(ImageFormat, NoInventedBytesInTheFlashConfigurationField) {
  using Pieces = std::vector<std::pair<uint16_t, uint8_t>>;  // address, length
  using Runs = std::vector<std::pair<uint32_t, uint32_t>>;
  const struct {
    const char* name;
    Pieces pieces;
    Runs runs;
  } cases[] = {
      {"gap is the field", {{0x3C0, 0x40}, {0x410, 0x10}}, {{0x3C0, 0x40}, {0x410, 0x10}}},
      {"gap ends the field", {{0x3C0, 0x48}, {0x410, 0x10}}, {{0x3C0, 0x48}, {0x410, 0x10}}},
      {"gap starts the field", {{0x3C0, 0x40}, {0x408, 0x18}}, {{0x3C0, 0x40}, {0x408, 0x18}}},
      {"gap before the field", {{0x380, 0x40}, {0x3D0, 0x40}}, {{0x380, 0x90}}},
      {"gap after the field", {{0x400, 0x10}, {0x420, 0x10}}, {{0x400, 0x30}}},
      {"field held, out of order", {{0x410, 0x10}, {0x3C0, 0x40}, {0x400, 0x10}}, {{0x3C0, 0x60}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> lines;
    for (const auto& [address, length] : c.pieces)
      lines.push_back(hex_record(0, address, Bytes(length, 0x11)));
    lines.push_back(":00000001FF");
    image_layout layout;
    layout_fault fault;
    ASSERT_EQ(load(text(lines), &layout, &fault), layout_problem::none);
    EXPECT_EQ(runs_of(layout), c.runs);
    image_release(&layout);
  }
}

}  // namespace
