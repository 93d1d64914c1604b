#pragma once
// The configuration form's behaviour: loading and saving the settings, the
// three database lists and the service commands, behind the FormView seam.
#include <functional>
#include <string>
#include <string_view>

#include "configtool/form_controls.h"
#include "configtool/form_view.h"
#include "configtool/run_and_wait.h"
#include "store/registry.h"

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
inline constexpr int kMaxLoadedListEntries = 100000;

class FormLogic {
 public:
  FormLogic(FormView& view, ToolEnvironment environment);
  ~FormLogic();
  FormLogic(const FormLogic&) = delete;
  FormLogic& operator=(const FormLogic&) = delete;

  // Opens spam.mdb in the working folder and fills the form: the folder
  // WorkDir names when it holds spam.mdb (or a database server is set),
  // else the current directory.
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
  // WorkDir when the database was opened there, else the current directory
  // read now; "" when neither is there.
  std::string WorkingFolder() const;

 private:
  void ChooseWorkingFolder(const std::string& server);
  bool HaveWorkingFolder();
  void SayWhySettingsCannotBeStored(std::string_view lead, const RegistryAccess& access);
  void FillList(ControlId list, std::string_view query, std::string_view column);
  void LoadRegistryValues();
  const std::string_view* FirstValidationFailure() const;
  // The typed domain without blanks, "@" in front; "" when empty or
  // refused with a message.
  std::string DomainEntry(ControlId input, bool add_at);
  bool RoomForOneMore(ControlId list);
  void SayWhenOverTheLimit(ControlId list, ControlId group);
  bool WriteSettings();
  // Runs a list statement; on failure shows the database's error and
  // returns false.
  bool ExecuteListStatement(const std::string& statement);
  void RemoveSelected(ControlId list, std::string_view delete_prefix);
  void RemoveMatchingEntries(ControlId list, std::string_view text);
  void ShowPlain(std::string_view text, bool owned);
  void CloseDatabase();
  std::string CurrentDirectory() const;
  CommandResult Run(const CommandLine& command, ShowState show);
  void RunServiceProgram(std::string_view switch_word, std::string_view success, std::string_view failure);
  void ShowServiceResult(const CommandLine& command, const CommandResult& result, std::string_view success,
                         std::string_view failure);

  FormView& view_;
  ToolEnvironment environment_;
  bool database_open_ = false;  // opened by LoadSettings, closed once
  std::string work_dir_;        // WorkDir when the database was opened there, else ""
};

}  // namespace brenvik
