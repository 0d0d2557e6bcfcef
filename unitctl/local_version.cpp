// The unit's local version file (/etc/krv_version.xml), read with libxml2,
// and its comparison with the MCU's firmware version.
#include "local_version.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlstring.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "mcu.h"

namespace {

// Attempts at the MCU's firmware version before -f gives up.
constexpr int FIRMWARE_VERSION_ATTEMPTS = 3;

// Decimal text as atoi reads it (leading white space, an optional sign, the
// digits up to the first other character; no digits give 0), but computed
// modulo 2^32 so that any number, however long, keeps its low bits without
// overflowing.
uint32_t parse_decimal(const xmlChar* text) {
  if (text == nullptr) return 0;
  const unsigned char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
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

// Copies at most 7 characters of the text and always terminates the field;
// a longer identifier is cut to its first 7 characters.
void copy_commit_id(char* field, const xmlChar* text) {
  size_t n = 0;
  if (text != nullptr) {
    while (n < sizeof(version_info::commit_id_short) - 1 && text[n] != '\0') {
      field[n] = static_cast<char>(text[n]);
      ++n;
    }
  }
  memset(field + n, 0, sizeof(version_info::commit_id_short) - n);
}

void apply_element(version_info* version, const xmlChar* name, const xmlChar* text) {
  if (xmlStrEqual(name, BAD_CAST "major")) {
    version->major = static_cast<uint8_t>(parse_decimal(text) & 0xFFu);
  } else if (xmlStrEqual(name, BAD_CAST "minor")) {
    version->minor = static_cast<uint8_t>(parse_decimal(text) & 0xFFu);
  } else if (xmlStrEqual(name, BAD_CAST "patch")) {
    version->patch = static_cast<uint16_t>(parse_decimal(text) & 0xFFFFu);
  } else if (xmlStrEqual(name, BAD_CAST "build")) {
    version->build = static_cast<uint16_t>(parse_decimal(text) & 0xFFFFu);
  } else if (xmlStrEqual(name, BAD_CAST "commit_id_short")) {
    copy_commit_id(version->commit_id_short, text);
  }
}

void print_version_line(const char* prefix, const version_info* v) {
  printf("%s: %u.%u.%u+%u.%s\n", prefix, static_cast<unsigned>(v->major),
         static_cast<unsigned>(v->minor), static_cast<unsigned>(v->patch),
         static_cast<unsigned>(v->build), v->commit_id_short);
}

}  // namespace

int read_local_version(version_info* version) {
  if (access(VERSION_FILE_PATH, R_OK) != 0) return 1;

  xmlDocPtr doc = xmlReadFile(VERSION_FILE_PATH, nullptr, 0);
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
    if (node->type != XML_ELEMENT_NODE) continue;
    xmlChar* text = xmlNodeGetContent(node);
    apply_element(&read, node->name, text);
    if (text != nullptr) xmlFree(text);
  }
  xmlFreeDoc(doc);

  *version = read;
  return 0;
}

int compare_versions(const version_info* a, const version_info* b) {
  if (a->major != b->major) return 1;
  if (a->minor != b->minor) return 1;
  if (a->patch != b->patch) return 1;
  if (a->build != b->build) return 1;
  if (strncmp(a->commit_id_short, b->commit_id_short, sizeof(a->commit_id_short)) != 0) return 1;
  return 0;
}

int print_local_version(void) {
  version_info version = {};
  if (read_local_version(&version) != 0) {
    printf("Unable to get KRV version\n");
    return 1;
  }
  printf("KRV version: %u.%u.%u\n", static_cast<unsigned>(version.major),
         static_cast<unsigned>(version.minor), static_cast<unsigned>(version.patch));
  printf("Build number: %u\n", static_cast<unsigned>(version.build));
  printf("Commit ID: %s\n", version.commit_id_short);
  return 0;
}

int check_versions(int fd) {
  version_info local = {};
  version_info mcu = {};

  const bool have_local = read_local_version(&local) == 0;
  if (have_local) {
    print_version_line("Local version", &local);
  } else {
    printf("Unable to get local version number\n");
  }

  bool have_mcu = false;
  for (int attempt = 0; attempt < FIRMWARE_VERSION_ATTEMPTS && !have_mcu; ++attempt) {
    have_mcu = mcu_get_firmware_version(fd, &mcu) == 0;
  }
  if (!have_mcu) {
    printf("Unable to get firmware version from MCU\n");
    return 1;
  }
  print_version_line("MCU version", &mcu);

  if (!have_local) return 1;
  if (compare_versions(&local, &mcu) != 0) {
    printf("Versions do not match\n");
    return 1;
  }
  printf("Versions match\n");
  return 0;
}
