#include "configtool/form_logic.h"

#include <array>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <utility>

#include "brenvik_version.h"
#include "configtool/form_texts.h"
#include "gateway/gateway_state.h"
#include "store/ascii_case.h"
#include "store/blanks.h"
#include "store/database.h"
#include "store/registry.h"
#include "store/service_user.h"
#include "store/settings.h"
#include "store/sql.h"
#include "store/sql_quote.h"

namespace brenvik {
namespace {

// Error numbers 0 and 1 count as success, as they do when opening.
bool StatementFailed() { return SQL_ErrorNumber() > 1; }

std::string Concat(std::initializer_list<std::string_view> parts) {
  std::string s;
  for (auto p : parts) s += p;
  return s;
}

void InitializeSqlLayerOnce() {
  static std::once_flag once;
  std::call_once(once, [] { SQL_Initialize(2, 2, 150, 3, 3, 0, 0, 0); });
}

bool SetSetting(std::string_view name, std::string_view value) {
  return SETREGVALUE(HKEY_LOCAL_MACHINE, kSettingsKey, name, value);
}

std::string GetSetting(std::string_view name) {
  return GETREGVALUE(HKEY_LOCAL_MACHINE, kSettingsKey, name);
}

// The text a control is created with (a group box's caption).
std::string_view CreationText(ControlId id) {
  for (const ControlSpec& spec : kControls)
    if (spec.id == id) return spec.text;
  return {};
}

std::string Trimmed(const std::string& text) { return std::string(TrimBlanks(text)); }

// A port the gateway can listen on or connect to: 1..65535.
bool PortInRange(const std::string& text) {
  const std::int32_t port = ParseLeadingNumber(text);
  return port >= 1 && port <= 65535;
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

bool FolderExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_directory(path, ec);
}

// The program's words, without the blank lines around them; else why it
// did not run or how it ended.
std::string FailureText(const CommandLine& command, const CommandResult& result) {
  if (result.start_error != 0)
    return Concat({command.front(), texts::kProgramNotStarted, std::strerror(result.start_error)});
  const std::string& said = result.output;
  if (const auto first = said.find_first_not_of(" \t\r\n"); first != std::string::npos)
    return said.substr(first, said.find_last_not_of(" \t\r\n") - first + 1);
  if (result.exit_status < 0) return Concat({command.front(), texts::kProgramKilled});
  return Concat({command.front(), texts::kProgramExitStatus, std::to_string(result.exit_status)});
}

}  // namespace

std::string ProcessCurrentDirectory() {
  std::error_code ec;
  auto path = std::filesystem::current_path(ec);
  return ec ? std::string() : path.string();
}

std::string TitleText() {
  return std::string(texts::kTitlePrefix) + std::to_string(BRENVIK_VERSION_MAJOR) + "." +
         std::to_string(BRENVIK_VERSION_BUILD);
}

FormLogic::FormLogic(FormView& view, ToolEnvironment environment)
    : view_(view), environment_(std::move(environment)) {}

FormLogic::~FormLogic() { CloseDatabase(); }

std::string FormLogic::CurrentDirectory() const {
  return environment_.current_directory ? environment_.current_directory()
                                        : ProcessCurrentDirectory();
}

CommandResult FormLogic::Run(const CommandLine& command, ShowState show) {
  return environment_.runner != nullptr ? environment_.runner->Run(command, show) : RunAndWait(command, show);
}

std::string FormLogic::WorkingFolder() const { return work_dir_.empty() ? CurrentDirectory() : work_dir_; }

// The gateway works on WorkDir: the tool does too when spam.mdb is there, so
// that a start from another folder neither shows nor creates another database.
void FormLogic::ChooseWorkingFolder(const std::string& server) {
  const std::string stored = GetSetting(setting::WorkDir);
  const bool usable = !stored.empty() && (FileExists(stored + std::string(texts::kDatabaseFile)) ||
                                          (!server.empty() && FolderExists(stored)));
  work_dir_ = usable ? stored : std::string();
}

// Shows why nothing can be done when there is no working folder.
bool FormLogic::HaveWorkingFolder() {
  if (!WorkingFolder().empty()) return true;
  view_.ShowMessage({texts::kMessageTitle, texts::kNoWorkingFolder, MessageIcon::Warning, true});
  return false;
}

void FormLogic::SayWhySettingsCannotBeStored(std::string_view lead, const RegistryAccess& access) {
  const int error = access.read_error != 0 ? access.read_error : access.write_error;
  const std::string text = Concat({lead, RegistryFilePath(), ": ", std::strerror(error)});
  view_.ShowMessage({texts::kMessageTitle, text, MessageIcon::Warning, true});
}

void FormLogic::LoadSettings() {
  InitializeSqlLayerOnce();
  const std::string server = GetSetting(setting::DatabaseServer);
  ChooseWorkingFolder(server);
  const std::string folder = WorkingFolder();
  // A failed open is only traced; the statements below then fail quietly and
  // the lists stay empty. A database that cannot be written is still read.
  // Without a folder nothing is opened: never spam.mdb at the root.
  bool read_only = false;
  if (!folder.empty()) {
    read_only = !OpenDatabase(folder, texts::kDatabaseFile, server) && SQL_ErrorNumber() == kSqlErrorReadOnly;
    database_open_ = true;
    HandDatabaseToServiceUser(folder, texts::kDatabaseFile);  // started with sudo
  }
  view_.SetText(ControlId::TitleLabel, TitleText());
  if (database_open_) {
    FillList(ControlId::WhitelistList, texts::kSelectWhitelist, "email");
    FillList(ControlId::DomainList, texts::kSelectDomains, "what");
    FillList(ControlId::RelayList, texts::kSelectRelays, "what");
  }
  LoadRegistryValues();
  view_.SetChecked(ControlId::RestartCheck, true);
  if (!HaveWorkingFolder()) return;
  SayWhenOverTheLimit(ControlId::DomainList, ControlId::DomainGroup);
  SayWhenOverTheLimit(ControlId::RelayList, ControlId::RelayGroup);
  if (read_only) view_.ShowMessage({texts::kMessageTitle, texts::kDatabaseReadOnly, MessageIcon::Warning, false});
  if (const RegistryAccess access = CheckRegistryAccess(); access.read_error != 0 || access.write_error != 0)
    SayWhySettingsCannotBeStored(access.read_error != 0 ? texts::kSettingsNotReadable : texts::kSettingsNotWritable,
                                 access);
}

void FormLogic::FillList(ControlId list, std::string_view query, std::string_view column) {
  SQL_Stmt(3, query);
  SQL_Fetch(0);
  for (int n = 0; SQL_Eod() == 0 && n < kMaxLoadedListEntries; ++n) {
    view_.AppendListEntry(list, SQL_ResColText(SQL_ResColNumber(column)));
    SQL_Fetch(0);
  }
}

void FormLogic::LoadRegistryValues() {
  view_.SetText(ControlId::RecvPortEdit, GetSetting(setting::RecvPort));
  std::string recv_host = GetSetting(setting::RecvHost);
  view_.SetText(ControlId::RecvHostInput, recv_host.empty() ? "0.0.0.0" : recv_host);
  view_.SetText(ControlId::SendPortEdit, GetSetting(setting::SendPort));
  view_.SetText(ControlId::SendHostEdit, GetSetting(setting::SendHost));
  view_.SetText(ControlId::StatusMailEdit, GetSetting(setting::StatusMail));
  view_.SetChecked(ControlId::RblCheck, ParseLeadingNumber(GetSetting(setting::CheckBadMailAdr)) != 0);
}

const std::string_view* FormLogic::FirstValidationFailure() const {
  if (view_.ListCount(ControlId::DomainList) == 0) return &texts::kNoReceiveDomain;
  if (!PortInRange(view_.Text(ControlId::RecvPortEdit))) return &texts::kUnknownReceivePort;
  if (!PortInRange(view_.Text(ControlId::SendPortEdit))) return &texts::kUnknownSendPort;
  if (view_.Text(ControlId::RecvHostInput).empty()) return &texts::kUnknownReceiveIp;
  if (Trimmed(view_.Text(ControlId::SendHostEdit)).empty()) return &texts::kUnknownSendHost;
  return nullptr;
}

bool FormLogic::WriteSettings() {
  const std::string rbl = view_.Checked(ControlId::RblCheck) ? "1" : "0";
  const std::array<std::pair<std::string_view, std::string>, 8> values{{
      {setting::RecvPort, view_.Text(ControlId::RecvPortEdit)},
      {setting::RecvHost, view_.Text(ControlId::RecvHostInput)},
      {setting::SendPort, view_.Text(ControlId::SendPortEdit)},
      {setting::SendHost, Trimmed(view_.Text(ControlId::SendHostEdit))},
      {setting::StatusMail, Trimmed(view_.Text(ControlId::StatusMailEdit))},
      {setting::WorkDir, WorkingFolder()},
      {setting::GarbageCollector, "1"},
      {setting::CheckBadMailAdr, rbl},
  }};
  // The first failed write stops the save: the rest would fail the same way.
  for (const auto& [name, value] : values)
    if (!SetSetting(name, value)) return false;
  return true;
}

void FormLogic::SaveSettings() {
  if (!HaveWorkingFolder()) return;
  // Before the checks of the fields, which read empty without the file.
  if (const RegistryAccess access = CheckRegistryAccess(); (access.read_error != 0 || access.write_error != 0)) {
    SayWhySettingsCannotBeStored(texts::kCannotSave, access);
    return;
  }
  if (const std::string_view* failure = FirstValidationFailure()) {
    ShowPlain(*failure, false);
    return;
  }
  if (!WriteSettings()) {
    std::string text = Concat({texts::kSaveFailed, RegistryFilePath()});
    view_.ShowMessage({texts::kMessageTitle, text, MessageIcon::Warning, true});
    return;
  }
  if (view_.Checked(ControlId::RestartCheck)) RestartService();
  CloseDatabase();
  view_.CloseForm();
}

void FormLogic::CloseWithoutSaving() {
  CloseDatabase();
  view_.CloseForm();
}

void FormLogic::CloseRequested() { CloseDatabase(); }

void FormLogic::CloseDatabase() {
  if (!database_open_) return;
  database_open_ = false;
  SQL_CloseDB();
}

void FormLogic::ShowPlain(std::string_view text, bool owned) {
  view_.ShowMessage({texts::kMessageTitle, text, MessageIcon::None, owned});
}

bool FormLogic::ExecuteListStatement(const std::string& statement) {
  SQL_ErrorClearAll();
  SQL_Stmt(3, statement);
  HandDatabaseToServiceUser(WorkingFolder(), texts::kDatabaseFile);  // a -wal made anew
  if (!StatementFailed()) return true;
  std::string error = SQL_ErrorText();
  if (error.empty()) error = Concat({texts::kDatabaseErrorFallback, std::to_string(SQL_ErrorNumber())});
  view_.ShowMessage({texts::kMessageTitle, error, MessageIcon::Warning, true});
  return false;
}

// Blanks would never match a recipient or sender; an address is no domain.
std::string FormLogic::DomainEntry(ControlId input, bool add_at) {
  std::string text = Trimmed(view_.Text(input));
  if (text.empty()) return text;
  if (text.find('@', 1) != std::string::npos) {
    ShowPlain(Concat({text, texts::kAtInsideDomain}), true);
    return {};
  }
  if (add_at && text.front() != '@') text.insert(0, "@");
  return text;
}

// The gateway does not start with more than its limit of domains or relays.
bool FormLogic::RoomForOneMore(ControlId list) {
  if (view_.ListCount(list) < static_cast<int>(kMaxListEntries)) return true;
  ShowPlain(Concat({texts::kListFullBefore, std::to_string(kMaxListEntries), texts::kListFullAfter}), true);
  return false;
}

// Lists filled elsewhere may hold more than the gateway starts with.
void FormLogic::SayWhenOverTheLimit(ControlId list, ControlId group) {
  const int count = view_.ListCount(list);
  if (count <= static_cast<int>(kMaxListEntries)) return;
  ShowPlain(Concat({texts::kOverLimitBefore, CreationText(group), texts::kOverLimitMiddle, std::to_string(count),
                    texts::kOverLimitAfter, std::to_string(kMaxListEntries), texts::kOverLimitEnd}),
            true);
}

void FormLogic::AddDomain() {
  if (!HaveWorkingFolder()) return;
  const std::string text = DomainEntry(ControlId::DomainEdit, true);
  if (text.empty() || !RoomForOneMore(ControlId::DomainList)) return;
  view_.SetText(ControlId::DomainEdit, text);
  if (!ExecuteListStatement(Concat({texts::kInsertSpamSystem, SqlQuote(text), texts::kDomainTypSuffix})))
    return;
  view_.AppendListEntry(ControlId::DomainList, text);
  view_.SetText(ControlId::DomainEdit, "");
}

void FormLogic::AddRelayIp() {
  if (!HaveWorkingFolder()) return;
  const std::string text = Trimmed(view_.Text(ControlId::RelayIpInput));
  if (text.empty() || !RoomForOneMore(ControlId::RelayList)) return;
  if (!ExecuteListStatement(Concat({texts::kInsertSpamSystem, SqlQuote(text), texts::kRelayTypSuffix})))
    return;
  view_.AppendListEntry(ControlId::RelayList, text);
  view_.SetText(ControlId::RelayIpInput, "0.0.0.0");
}

void FormLogic::AddWhitelistEntry() {
  if (!HaveWorkingFolder()) return;
  const std::string text = DomainEntry(ControlId::WhitelistEdit, false);
  if (text.empty()) return;
  if (text.front() != '@') {
    ShowPlain(texts::kWrongWhitelistDomain, true);
    return;
  }
  if (!ExecuteListStatement(Concat({texts::kInsertWhitelist, SqlQuote(text), texts::kStatementEnd})))
    return;
  view_.AppendListEntry(ControlId::WhitelistList, text);
  view_.SetText(ControlId::WhitelistEdit, "");
}

void FormLogic::RemoveDomain() { RemoveSelected(ControlId::DomainList, texts::kDeleteSpamSystem); }
void FormLogic::RemoveRelayIp() { RemoveSelected(ControlId::RelayList, texts::kDeleteSpamSystem); }
void FormLogic::RemoveWhitelistEntry() {
  RemoveSelected(ControlId::WhitelistList, texts::kDeleteWhitelist);
}

void FormLogic::RemoveSelected(ControlId list, std::string_view delete_prefix) {
  if (!HaveWorkingFolder()) return;
  const int index = view_.ListSelection(list);
  const std::string text = index >= 0 ? view_.ListEntry(list, index) : std::string();
  if (!ExecuteListStatement(Concat({delete_prefix, SqlQuote(text), texts::kStatementEnd}))) return;
  // The delete removed every row with this text, so every entry showing it goes.
  RemoveMatchingEntries(list, text);
}

void FormLogic::RemoveMatchingEntries(ControlId list, std::string_view text) {
  for (int i = view_.ListCount(list) - 1; i >= 0; --i)
    if (SameIgnoringCase(view_.ListEntry(list, i), text)) view_.RemoveListEntry(list, i);
}

// Success only when the service program said so by its exit status.
void FormLogic::ShowServiceResult(const CommandLine& command, const CommandResult& result,
                                  std::string_view success, std::string_view failure) {
  if (result.Succeeded()) {
    view_.ShowMessage({texts::kMessageTitle, success, MessageIcon::Information, true});
    return;
  }
  const std::string text = Concat({failure, FailureText(command, result)});
  view_.ShowMessage({texts::kMessageTitle, text, MessageIcon::Warning, true});
}

// The service program of the working folder. Root runs it only when nobody
// else may change it; otherwise it is skipped like a missing one, and said.
void FormLogic::RunServiceProgram(std::string_view switch_word, std::string_view success,
                                  std::string_view failure) {
  const std::string program = WorkingFolder() + std::string(texts::kServiceProgram);
  const std::string runnable = ProgramRootMayRun(program);
  if (runnable.empty()) {
    const std::string text = Concat({failure, program, texts::kProgramNotSafe});
    view_.ShowMessage({texts::kMessageTitle, text, MessageIcon::Warning, true});
    return;
  }
  const CommandLine command{runnable, std::string(switch_word)};
  ShowServiceResult(command, Run(command, ShowState::Hidden), success, failure);
}

void FormLogic::InstallService() {
  if (!HaveWorkingFolder()) return;
  RunServiceProgram(texts::kInstallSwitch, texts::kServiceInstalled, texts::kServiceNotInstalled);
}

void FormLogic::UninstallService() {
  if (!HaveWorkingFolder()) return;
  view_.SetEnabled(ControlId::UninstallButton, false);
  // A service that is not running or not loaded makes the stop fail; only
  // the removal's own result counts.
  Run({std::string(texts::kSystemctl), "stop", std::string(texts::kServiceName)}, ShowState::Hidden);
  RunServiceProgram(texts::kUninstallSwitch, texts::kServiceUninstalled, texts::kServiceNotUninstalled);
  view_.SetEnabled(ControlId::UninstallButton, true);
  view_.SetChecked(ControlId::RestartCheck, false);
}

void FormLogic::RestartService() {
  Run({std::string(texts::kSystemctl), "stop", std::string(texts::kServiceName)}, ShowState::ShownNoActivate);
  const CommandLine start{std::string(texts::kSystemctl), "start", std::string(texts::kServiceName)};
  // The settings are saved either way; a gateway that did not start is said
  // before the form goes, as nobody may see the command's own output.
  if (const CommandResult result = Run(start, ShowState::ShownNoActivate); !result.Succeeded()) {
    const std::string text = Concat({texts::kServiceNotStarted, FailureText(start, result)});
    view_.ShowMessage({texts::kMessageTitle, text, MessageIcon::Warning, true});
  }
}

bool FormLogic::Click(ControlId id) {
  using Handler = void (FormLogic::*)();
  static constexpr std::array<std::pair<ControlId, Handler>, 10> kHandlers{{
      {ControlId::SaveButton, &FormLogic::SaveSettings},
      {ControlId::CancelButton, &FormLogic::CloseWithoutSaving},
      {ControlId::DomainAddButton, &FormLogic::AddDomain},
      {ControlId::DomainRemoveButton, &FormLogic::RemoveDomain},
      {ControlId::RelayAddButton, &FormLogic::AddRelayIp},
      {ControlId::RelayRemoveButton, &FormLogic::RemoveRelayIp},
      {ControlId::WhitelistAddButton, &FormLogic::AddWhitelistEntry},
      {ControlId::WhitelistRemoveButton, &FormLogic::RemoveWhitelistEntry},
      {ControlId::InstallButton, &FormLogic::InstallService},
      {ControlId::UninstallButton, &FormLogic::UninstallService},
  }};
  for (const auto& [control, handler] : kHandlers) {
    if (control == id) {
      (this->*handler)();
      return true;
    }
  }
  return false;
}

}  // namespace brenvik
