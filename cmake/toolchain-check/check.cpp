// Prints what the target is: byte order, word sizes, the C library, and
// whether libxml2 parses. The emulated run must say "big-endian, 32-bit".
#include <linux/spi/spidev.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>

namespace {

constexpr char kDoc[] = "<v><major>3</major></v>";

const char* byte_order() {
  const uint32_t word = 0x01020304;
  std::array<unsigned char, 4> bytes{};
  std::memcpy(bytes.data(), &word, sizeof word);
  return bytes[0] == 1 ? "big-endian" : "little-endian";
}

bool xml_ok() {
  xmlDocPtr doc = xmlReadMemory(kDoc, sizeof kDoc - 1, "check.xml", nullptr, 0);
  if (doc == nullptr) return false;
  xmlNodePtr root = xmlDocGetRootElement(doc);
  bool ok = root != nullptr && xmlStrEqual(root->name, reinterpret_cast<const xmlChar*>("v"));
  xmlFreeDoc(doc);
  return ok;
}

}  // namespace

int main() {
  static_assert(sizeof(spi_ioc_transfer) == 32, "spidev transfer record");
  std::array<unsigned char, 3> tail{1, 2, 3};
  std::span<unsigned char> view(tail);
  std::printf("%s, %d-bit long, %d-bit pointers, xml %s, spi_ioc_transfer %d bytes, span %d\n",
              byte_order(), static_cast<int>(sizeof(long) * 8), static_cast<int>(sizeof(void*) * 8),
              xml_ok() ? "ok" : "FAILED", static_cast<int>(sizeof(spi_ioc_transfer)),
              static_cast<int>(view.size()));
  return 0;
}
