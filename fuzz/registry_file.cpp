// The registry file parser: any text parses into a document whose rendering
// parses back to the same rendering, with the same lines not understood. For a part of
// the inputs the text also goes through the file: every value that can be
// read before a write of another value reads the same after it.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "store/registry.h"
#include "store/registry_file.h"

namespace rf = brenvik::registry_file;

namespace {

constexpr std::size_t kQueryLimit = 255;  // longest text a read returns
constexpr std::size_t kNameLimit = 255;   // longest value name a read looks up
constexpr std::string_view kWrittenName = "FuzzWrittenValue";
constexpr std::string_view kWrittenText = "a \"quoted\" \\ text\twith\x01 control bytes";

std::string g_folder;  // $BRENVIK_SYSROOT/etc/brenvik

void Check(bool condition) {
  if (!condition) std::abort();
}

void RemoveFolderFiles() {
  if (DIR* dir = ::opendir(g_folder.c_str())) {
    while (dirent* e = ::readdir(dir)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") ::unlink((g_folder + "/" + name).c_str());
    }
    ::closedir(dir);
  }
}

// What a read of `name` must return, judged from the parsed document.
std::string ExpectedRead(const rf::Entry& entry) {
  std::string data;
  if (entry.type == rf::ValueType::Dword) {
    for (int i = 0; i < 4; ++i) data += static_cast<char>((entry.number >> (8 * i)) & 0xFF);
  } else {
    if (entry.text.size() + (entry.type == rf::ValueType::String ? 1 : 0) > kQueryLimit + 1) return "";
    data = entry.text;
  }
  return data.substr(0, data.find('\0'));
}

// Every value of the settings key that a read must return unchanged.
void CheckReads(const rf::Document& doc) {
  const std::string subkey(brenvik::kSettingsKey);
  const std::string path = std::string(brenvik::HKEY_LOCAL_MACHINE) + "\\" + subkey;
  for (const rf::Key& key : doc.keys) {
    if (!rf::SameName(key.path, path)) continue;
    for (const rf::Entry& e : key.entries) {
      if (e.kind != rf::LineKind::Value || e.name.empty() || rf::SameName(e.name, kWrittenName)) continue;
      const std::string expected = e.name.size() > kNameLimit ? "" : ExpectedRead(*rf::FindValue(doc, path, e.name));
      Check(brenvik::GETREGVALUE(brenvik::HKEY_LOCAL_MACHINE, subkey, e.name) == expected);
    }
  }
}

void ThroughTheFile(std::string_view text, const rf::Document& doc) {
  RemoveFolderFiles();
  {
    std::ofstream out(g_folder + "/registry.reg", std::ios::binary);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  const std::string subkey(brenvik::kSettingsKey);
  CheckReads(doc);
  Check(brenvik::SETREGVALUE(brenvik::HKEY_LOCAL_MACHINE, subkey, kWrittenName, kWrittenText));
  Check(brenvik::GETREGVALUE(brenvik::HKEY_LOCAL_MACHINE, subkey, kWrittenName) == kWrittenText);
  CheckReads(doc);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/brenvik-fuzz-registry-XXXXXX";
  const char* root = ::mkdtemp(pattern.data());
  if (root == nullptr) std::abort();
  ::setenv("BRENVIK_SYSROOT", root, 1);
  g_folder = std::string(root) + "/etc/brenvik";
  std::string etc = std::string(root) + "/etc";
  ::mkdir(etc.c_str(), 0755);
  ::mkdir(g_folder.c_str(), 0755);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  const rf::Document doc = rf::Parse(text);
  const std::string rendered = rf::Render(doc);
  const rf::Document again = rf::Parse(rendered);
  Check(rf::Render(again) == rendered);
  Check(again.unparsed.size() <= doc.unparsed.size());  // a header may have been added
  // Writing syncs the file and its folder: only every fourth input goes
  // through it, so the parser itself keeps a high rate.
  if (size % 4 == 0) ThroughTheFile(text, doc);
  return 0;
}
