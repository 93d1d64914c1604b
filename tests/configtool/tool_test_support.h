#pragma once
// Shared pieces of the configuration-tool tests: a recording view and runner,
// a fresh machine root and working folder per test, direct looks into spam.mdb.
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "configtool/form_view.h"
#include "configtool/run_and_wait.h"

namespace brenvik::test {

struct ShownMessage {
  std::string title, text;
  MessageIcon icon;
  bool owned;
  bool uninstall_enabled;  // the uninstall button's state at that moment
};

class FakeView : public FormView {
 public:
  std::map<ControlId, std::string> texts;
  std::map<ControlId, std::vector<std::string>> lists;
  std::map<ControlId, int> selection;
  std::map<ControlId, bool> checks, enabled;
  std::vector<ShownMessage> messages;
  int closed = 0;

  std::string Text(ControlId id) const override { return texts.count(id) ? texts.at(id) : std::string(); }
  void SetText(ControlId id, std::string_view text) override { texts[id] = std::string(text); }
  int ListCount(ControlId list) const override { return static_cast<int>(List(list).size()); }
  std::string ListEntry(ControlId list, int index) const override { return List(list).at(index); }
  int ListSelection(ControlId list) const override { return selection.count(list) ? selection.at(list) : -1; }
  void AppendListEntry(ControlId list, std::string_view text) override { lists[list].emplace_back(text); }
  void RemoveListEntry(ControlId list, int index) override {
    lists[list].erase(lists[list].begin() + index);
    selection.erase(list);
  }
  bool Checked(ControlId check) const override { return checks.count(check) && checks.at(check); }
  void SetChecked(ControlId check, bool checked) override { checks[check] = checked; }
  void SetEnabled(ControlId id, bool on) override { enabled[id] = on; }
  void ShowMessage(const MessageBoxSpec& m) override {
    bool uninstall = !enabled.count(ControlId::UninstallButton) || enabled.at(ControlId::UninstallButton);
    messages.push_back({std::string(m.title), std::string(m.text), m.icon, m.owned_by_form, uninstall});
  }
  void CloseForm() override { ++closed; }
  // The messages shown so far, one "title: text [i|w] [owned]" line each.
  std::string Shown() const {
    std::string all;
    for (const auto& m : messages) {
      const char* icon = m.icon == MessageIcon::None ? "" : m.icon == MessageIcon::Information ? " [i]" : " [w]";
      all += m.title + ": " + m.text + icon + (m.owned ? " [owned]" : "") + "\n";
    }
    return all;
  }
  std::vector<std::string> List(ControlId id) const {
    return lists.count(id) ? lists.at(id) : std::vector<std::string>{};
  }
};

class RecordingRunner : public CommandRunner {
 public:
  std::vector<std::pair<CommandLine, ShowState>> runs;
  CommandResult result{0, 0, ""};  // what every command reports
  CommandResult Run(const CommandLine& command, ShowState show) override {
    runs.emplace_back(command, show);
    return result;
  }
};

// A fresh folder with the machine root below it (BRENVIK_SYSROOT points
// there) and a working folder the tool takes as its current directory.
class TempMachine {
 public:
  TempMachine() {
    char tmpl[] = "/tmp/brenvikcfg-test-XXXXXX";
    base_ = mkdtemp(tmpl);
    std::filesystem::create_directories(Root());
    std::filesystem::create_directories(Work());
    setenv("BRENVIK_SYSROOT", Root().c_str(), 1);
  }
  ~TempMachine() {
    std::error_code ec;
    std::filesystem::remove_all(base_, ec);
  }
  std::string Base() const { return base_; }
  std::string Root() const { return base_ + "/root"; }
  std::string Work() const { return base_ + "/work"; }
  std::string Database() const { return Work() + "/spam.mdb"; }
  std::string RegistryFile() const { return Root() + "/etc/brenvik/registry.reg"; }

 private:
  std::string base_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteScript(const std::string& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body;
  chmod(path.c_str(), 0755);
}

// Runs `sql` on the database file through a connection of its own; each row
// comes back as its texts joined by '|'. `ok` tells whether all of it ran.
inline std::vector<std::string> Sql(const std::string& path, const std::string& sql, bool* ok = nullptr) {
  std::vector<std::string> rows;
  sqlite3* db = nullptr;
  bool good = sqlite3_open(path.c_str(), &db) == SQLITE_OK && sqlite3_busy_timeout(db, 5000) == SQLITE_OK;
  auto collect = [](void* out, int n, char** values, char**) {
    std::string row;
    for (int c = 0; c < n; ++c) row += (c > 0 ? "|" : "") + std::string(values[c] ? values[c] : "NULL");
    static_cast<std::vector<std::string>*>(out)->push_back(row);
    return 0;
  };
  good = good && sqlite3_exec(db, sql.c_str(), collect, &rows, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  if (ok != nullptr) *ok = good;
  return rows;
}

}  // namespace brenvik::test
