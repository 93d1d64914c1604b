// brenvik-seed <folder> <work folder>: the first-start files of a fresh
// installation, made at build time with the programs' own store code:
// <folder>/spam.mdb with its four empty tables, and the settings in the
// registry file below $BRENVIK_SYSROOT with values that work out of the box.
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "store/database.h"
#include "store/registry.h"
#include "store/settings.h"
#include "store/sql.h"

namespace {

using brenvik::HKEY_LOCAL_MACHINE;
using brenvik::kSettingsKey;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: brenvik-seed <folder> <work folder>\n");
    return 2;
  }
  const std::string folder = argv[1];
  const std::string work_folder = argv[2];

  brenvik::SQL_Initialize(2, 2, 150, 3, 3, 0, 0, 0);
  bool ok = brenvik::OpenDatabase(folder + "/", "spam.mdb");
  brenvik::SQL_CloseDB();
  brenvik::SQL_Shutdown();

  // Listens on loopback only until the administrator sets the public
  // address; the real mail server is expected on port 26 of this host (the
  // tool's suggestion), so the gateway never relays to itself.
  const std::pair<std::string_view, std::string> values[] = {
      {brenvik::setting::RecvPort, "25"},          {brenvik::setting::RecvHost, "127.0.0.1"}, {brenvik::setting::SendPort, "26"},
      {brenvik::setting::SendHost, "localhost"},   {brenvik::setting::Logging, "0"},          {brenvik::setting::WorkDir, work_folder},
      {brenvik::setting::GarbageCollector, "1"},   {brenvik::setting::CheckBadMailAdr, "0"},  {brenvik::setting::StatusMail, ""},
      {brenvik::setting::LogDB, "0"},
  };
  for (const auto& [name, text] : values) {
    ok = brenvik::SETREGVALUE(HKEY_LOCAL_MACHINE, kSettingsKey, name, text) && ok;
  }
  if (!ok) std::fprintf(stderr, "brenvik-seed: could not write the first-start files\n");
  return ok ? 0 : 1;
}
