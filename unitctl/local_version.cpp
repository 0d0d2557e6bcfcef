// The unit's local version file (/etc/krv_version.xml), read with libxml2,
// and its comparison with the MCU's firmware version.
#include "local_version.h"

#include <errno.h>
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlstring.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mcu.h"

namespace {

// A version file is a few hundred bytes; anything larger is not one.
constexpr size_t VERSION_FILE_MAX = 64 * 1024;

// Room for a number's text (sign, digits and what follows them); a longer
// text is cut, which leaves any number of up to 39 characters intact.
constexpr size_t NUMBER_TEXT_MAX = 40;

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Decimal text as atoi reads it (leading white space, an optional sign, the
// digits up to the first other character; no digits give 0), but computed
// modulo 2^32 so that a long number keeps its low bits without overflowing.
uint32_t parse_decimal(const char* p) {
  while (is_space(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  uint32_t value = 0;
  while (*p >= '0' && *p <= '9') {
    value = value * 10u + static_cast<uint32_t>(*p - '0');
    ++p;
  }
  return negative ? 0u - value : value;
}

// The text of an element: its text and CDATA nodes and those of the elements
// inside it, joined in document order, into text[0..size) and terminated;
// what does not fit is dropped. Entity references are not followed, so no
// entity is ever expanded into memory. With skip_space, white space before
// the first other character is not stored (a number may sit on its own line).
void element_text(const xmlNode* element, char* text, size_t size, bool skip_space) {
  size_t n = 0;
  const xmlNode* node = element->children;
  while (node != nullptr && n + 1 < size) {
    if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
      for (const xmlChar* c = node->content; c != nullptr && *c != '\0' && n + 1 < size; ++c) {
        if (skip_space && n == 0 && is_space(static_cast<char>(*c))) continue;
        text[n++] = static_cast<char>(*c);
      }
    }
    // Depth first through elements only, back up to the element at the end.
    if (node->type == XML_ELEMENT_NODE && node->children != nullptr) {
      node = node->children;
      continue;
    }
    while (node != element && node->next == nullptr) node = node->parent;
    node = node == element ? nullptr : node->next;
  }
  text[n] = '\0';
}

uint32_t element_number(const xmlNode* element) {
  char text[NUMBER_TEXT_MAX];
  element_text(element, text, sizeof text, true);
  return parse_decimal(text);
}

void apply_element(version_info* version, const xmlNode* element) {
  const xmlChar* name = element->name;
  if (xmlStrEqual(name, BAD_CAST "major")) {
    version->major = static_cast<uint8_t>(element_number(element) & 0xFFu);
  } else if (xmlStrEqual(name, BAD_CAST "minor")) {
    version->minor = static_cast<uint8_t>(element_number(element) & 0xFFu);
  } else if (xmlStrEqual(name, BAD_CAST "patch")) {
    version->patch = static_cast<uint16_t>(element_number(element) & 0xFFFFu);
  } else if (xmlStrEqual(name, BAD_CAST "build")) {
    version->build = static_cast<uint16_t>(element_number(element) & 0xFFFFu);
  } else if (xmlStrEqual(name, BAD_CAST "commit_id_short")) {
    // A longer identifier is cut to its first 7 characters.
    char text[sizeof(version_info::commit_id_short)];
    element_text(element, text, sizeof text, false);
    memset(version->commit_id_short, 0, sizeof version->commit_id_short);
    memcpy(version->commit_id_short, text, strlen(text));
  }
}

// Reads the whole file into data[0..VERSION_FILE_MAX]. Opening does not wait
// (a FIFO put in the file's place must not hang the program); only a regular
// file of at most VERSION_FILE_MAX bytes is read. Returns the byte count, or
// -1 when the file is not one to read.
long load_version_file(char* data) {
  const int fd = open(VERSION_FILE_PATH, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > (off_t)VERSION_FILE_MAX) {
    close(fd);
    return -1;
  }
  // Read one byte more than allowed, to see a file that grew since fstat.
  size_t total = 0;
  while (total <= VERSION_FILE_MAX) {
    const ssize_t got = read(fd, data + total, VERSION_FILE_MAX + 1 - total);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      close(fd);
      return -1;
    }
    if (got == 0) break;
    total += static_cast<size_t>(got);
  }
  close(fd);
  return total > VERSION_FILE_MAX ? -1 : static_cast<long>(total);
}

}  // namespace

int parse_local_version(const char* data, size_t len, version_info* version) {
  if (len > VERSION_FILE_MAX) return 1;
  // No network, no external DTD or entity, no entity substitution; memory is
  // never decompressed. The library's parse errors still go to standard
  // error: they name the line that is wrong.
  xmlDocPtr doc = xmlReadMemory(data, static_cast<int>(len), VERSION_FILE_PATH, nullptr,
                                XML_PARSE_NONET);
  if (doc == nullptr) return 1;
  xmlNodePtr root = xmlDocGetRootElement(doc);
  if (root == nullptr) {
    xmlFreeDoc(doc);
    return 1;
  }

  // Fields whose element the file lacks read as zero (and an empty commit
  // id) rather than whatever the caller's record held.
  version_info read = {};
  for (xmlNodePtr node = root->children; node != nullptr; node = node->next) {
    if (node->type == XML_ELEMENT_NODE) apply_element(&read, node);
  }
  xmlFreeDoc(doc);

  *version = read;
  return 0;
}

int read_local_version(version_info* version) {
  if (access(VERSION_FILE_PATH, R_OK) != 0) return 1;
  char data[VERSION_FILE_MAX + 1];
  const long len = load_version_file(data);
  if (len < 0) return 1;
  return parse_local_version(data, static_cast<size_t>(len), version);
}

int compare_versions(const version_info* a, const version_info* b) {
  if (a->major != b->major) return 1;
  if (a->minor != b->minor) return 1;
  if (a->patch != b->patch) return 1;
  if (a->build != b->build) return 1;
  if (strncmp(a->commit_id_short, b->commit_id_short, sizeof(a->commit_id_short)) != 0) return 1;
  return 0;
}
