#pragma once
// The configuration form's behaviour: loading and saving the settings, the
// three database lists and the service commands, behind the FormView seam.
#include <functional>
#include <string>
#include <string_view>

#include "configtool/form_controls.h"
#include "configtool/form_view.h"
#include "configtool/run_and_wait.h"

namespace brenvik {

// Where the logic meets the machine; production passes the real ones.
struct ToolEnvironment {
  // The process's current directory, read at the moment it is needed.
  std::function<std::string()> current_directory;
  // Starts the service commands and waits for them.
  CommandRunner* runner = nullptr;
};

// The process's current directory; "" when it cannot be read.
std::string ProcessCurrentDirectory();

// "Brenvik V" + major + "." + build of the tool's version.
std::string TitleText();

// Upper bound of the entries loaded into one list box.
inline constexpr int kMaxListEntries = 100000;

class FormLogic {
 public:
  FormLogic(FormView& view, ToolEnvironment environment);
  ~FormLogic();
  FormLogic(const FormLogic&) = delete;
  FormLogic& operator=(const FormLogic&) = delete;

  // Opens spam.mdb in the current directory and fills the form.
  void LoadSettings();
  // Validates, writes the settings, restarts the service when asked, ends.
  void SaveSettings();
  // "Cancel": closes the database and ends without writing anything.
  void CloseWithoutSaving();
  // The close box: only closes the database; the form then goes away.
  void CloseRequested();

  void AddDomain();
  void RemoveDomain();
  void AddRelayIp();
  void RemoveRelayIp();
  void AddWhitelistEntry();
  void RemoveWhitelistEntry();

  void InstallService();
  void UninstallService();
  void RestartService();

  // Runs the click handler of a button; false when the control has none.
  bool Click(ControlId id);

  bool DatabaseOpen() const { return database_open_; }

 private:
  void FillList(ControlId list, std::string_view query, std::string_view column);
  void LoadRegistryValues();
  const std::string_view* FirstValidationFailure() const;
  bool WriteSettings();
  // Runs a list statement; on failure shows the database's error and
  // returns false.
  bool ExecuteListStatement(const std::string& statement);
  void RemoveSelected(ControlId list, std::string_view delete_prefix);
  void RemoveMatchingEntries(ControlId list, std::string_view text);
  void ShowPlain(std::string_view text, bool owned);
  void CloseDatabase();
  std::string CurrentDirectory() const;
  void Run(const CommandLine& command, ShowState show);

  FormView& view_;
  ToolEnvironment environment_;
  bool database_open_ = false;  // opened by LoadSettings, closed once
};

}  // namespace brenvik
