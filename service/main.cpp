// brenvik: the anti-spam SMTP gateway. "-install" and "-uninstall" register
// and remove the service; without them the program runs as the service.
#include <cstdio>
#include <exception>

#include "service/service_entry.h"

int main(int argc, char** argv) {
  try {
    return brenvik::RunEntry(argc, argv);
  } catch (const std::exception& e) {
    // Only exhaustion gets here (no thread or memory left at start-up).
    std::fprintf(stderr, "brenvik: %s\n", e.what());
    return 1;
  }
}
