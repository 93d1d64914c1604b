#pragma once
// Shared pieces of the configuration-tool tests: a recording view, a fresh
// machine root and working folder per test, and direct looks into spam.mdb.
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "configtool/form_view.h"

namespace brenvik::test {

struct ShownMessage {
  std::string title;
  std::string text;
  MessageIcon icon;
  bool owned;
};

class FakeView : public FormView {
 public:
  std::map<ControlId, std::string> texts;
  std::map<ControlId, std::vector<std::string>> lists;
  std::map<ControlId, int> selection;
  std::map<ControlId, bool> checks;
  std::map<ControlId, bool> enabled;
  std::vector<ShownMessage> messages;
  // What the uninstall button's state was when each message was shown.
  std::vector<bool> uninstall_enabled_at_message;
  int closed = 0;

  std::string Text(ControlId id) const override {
    auto it = texts.find(id);
    return it == texts.end() ? std::string() : it->second;
  }
  void SetText(ControlId id, std::string_view text) override { texts[id] = std::string(text); }
  int ListCount(ControlId list) const override { return static_cast<int>(List(list).size()); }
  std::string ListEntry(ControlId list, int index) const override { return List(list).at(index); }
  int ListSelection(ControlId list) const override {
    auto it = selection.find(list);
    return it == selection.end() ? -1 : it->second;
  }
  void AppendListEntry(ControlId list, std::string_view text) override {
    lists[list].emplace_back(text);
  }
  void RemoveListEntry(ControlId list, int index) override {
    auto& l = lists[list];
    l.erase(l.begin() + index);
    selection.erase(list);
  }
  bool Checked(ControlId check) const override {
    auto it = checks.find(check);
    return it != checks.end() && it->second;
  }
  void SetChecked(ControlId check, bool checked) override { checks[check] = checked; }
  void SetEnabled(ControlId id, bool on) override { enabled[id] = on; }
  void ShowMessage(const MessageBoxSpec& m) override {
    messages.push_back({std::string(m.title), std::string(m.text), m.icon, m.owned_by_form});
    auto it = enabled.find(ControlId::UninstallButton);
    uninstall_enabled_at_message.push_back(it == enabled.end() || it->second);
  }
  void CloseForm() override { ++closed; }

  const std::vector<std::string>& List(ControlId id) const {
    static const std::vector<std::string> empty;
    auto it = lists.find(id);
    return it == lists.end() ? empty : it->second;
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

  std::string ReadRegistryFile() const {
    std::ifstream in(RegistryFile(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  std::string base_;
};

// Runs `sql` on spam.mdb through a connection of its own; the rows come back
// as texts joined by '|'.
inline std::vector<std::string> QueryDatabase(const std::string& path, const std::string& sql) {
  std::vector<std::string> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    sqlite3_close(db);
    return rows;
  }
  sqlite3_busy_timeout(db, 5000);
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::string row;
      for (int c = 0; c < sqlite3_column_count(st); ++c) {
        if (c > 0) row += '|';
        const unsigned char* v = sqlite3_column_text(st, c);
        row += v != nullptr ? reinterpret_cast<const char*>(v) : "NULL";
      }
      rows.push_back(row);
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return rows;
}

inline bool ExecDatabase(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK;
  if (ok) {
    sqlite3_busy_timeout(db, 5000);
    ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  sqlite3_close(db);
  return ok;
}

}  // namespace brenvik::test
