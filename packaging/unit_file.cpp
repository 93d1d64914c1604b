// brenvik-unit <program> <work folder> <output>: the service unit the
// package ships, made by the very code "brenvik -install" writes it with, so
// the two never differ.
#include <cstdio>
#include <string>

#include "service/service_install.h"
#include "store/files.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: brenvik-unit <program> <work folder> <output>\n");
    return 2;
  }
  const std::string text = brenvik::BuildUnitText(argv[1], argv[2]);
  brenvik::FileAttributes attributes;
  attributes.mode = 0644;
  if (text.empty() || !brenvik::WriteFileAtomically(argv[3], text, attributes, brenvik::Placement::Replace)) {
    std::fprintf(stderr, "brenvik-unit: could not write %s\n", argv[3]);
    return 1;
  }
  return 0;
}
