// Prints what the target is: byte order, word sizes, the C library, whether
// libxml2 parses, and whether floating point computes (on a soft-float
// target every operation below is a call into the compiler's support
// library, and printf's conversion one into the C library's). The emulated
// run must say "big-endian, 32-bit".
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

bool float_ok() {
  volatile double a = 1.5, b = -0.375;
  volatile float f = 2.25f;
  volatile long long big = 1LL << 40;
  volatile int i = -7;
  const double sum = a + b, product = a * b, quotient = a / b;
  char text[64];
  std::snprintf(text, sizeof text, "%.4f %g %lld %d %.1f", sum * product, static_cast<double>(f) / 3,
                static_cast<long long>(static_cast<double>(big) * 0.5), static_cast<int>(quotient * 2.5),
                static_cast<double>(i) - a);
  return std::strcmp(text, "-0.6328 0.75 549755813888 -10 -8.5") == 0 && quotient < sum && b < 0;
}

}  // namespace

int main() {
  static_assert(sizeof(spi_ioc_transfer) == 32, "spidev transfer record");
  std::array<unsigned char, 3> tail{1, 2, 3};
  std::span<unsigned char> view(tail);
  std::printf("%s, %d-bit long, %d-bit pointers, xml %s, spi_ioc_transfer %d bytes, span %d, float %s\n",
              byte_order(), static_cast<int>(sizeof(long) * 8), static_cast<int>(sizeof(void*) * 8),
              xml_ok() ? "ok" : "FAILED", static_cast<int>(sizeof(spi_ioc_transfer)),
              static_cast<int>(view.size()), float_ok() ? "ok" : "FAILED");
  return 0;
}
