#pragma once
// A private PostgreSQL server per test process, driven through
// tests/support/pg_server.sh: started on first use, removed at exit.
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>

#ifndef BRENVIK_PG_SERVER_SCRIPT
#error "BRENVIK_PG_SERVER_SCRIPT must name tests/support/pg_server.sh"
#endif

namespace brenvik::testing_support {

class PgServer {
 public:
  static PgServer& Shared() {
    static PgServer* server = [] {
      auto* s = new PgServer;
      std::atexit([] { Shared().Run("remove", ""); });
      return s;
    }();
    return *server;
  }
  bool available() const { return available_; }
  const std::string& why() const { return why_; }
  // A fresh, empty database; its connection string ("" on failure).
  std::string CreateDatabase() {
    std::string out;
    return Run("createdb", "brenvik" + std::to_string(++databases_), &out) ? out : "";
  }
  bool Stop() { return Run("stop", ""); }
  bool Start() { return Run("start", ""); }

 private:
  PgServer() {
    std::string pattern = (std::filesystem::temp_directory_path() / "brenvik-pg-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      why_ = "mkdtemp failed";
      return;
    }
    folder_ = pattern;
    std::string out;
    available_ = Run("init", "", &out);
    if (!available_ && why_.empty()) why_ = "the PostgreSQL test server did not start; see " + folder_;
  }

  bool Run(const std::string& command, const std::string& arg, std::string* out = nullptr) {
    std::string line = std::string("sh ") + BRENVIK_PG_SERVER_SCRIPT + " " + command + " '" + folder_ + "' " + arg;
    FILE* pipe = popen(line.c_str(), "r");
    if (pipe == nullptr) return false;
    char buffer[512];
    std::string text;
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
    int status = pclose(pipe);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    if (out != nullptr) *out = text;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) why_ = "PostgreSQL server programs not installed";
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  std::string folder_;
  bool available_ = false;
  std::string why_;
  int databases_ = 0;
};

}  // namespace brenvik::testing_support
