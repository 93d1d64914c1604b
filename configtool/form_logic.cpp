#include "configtool/form_logic.h"

#include <array>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <utility>

#include "brenvik_version.h"
#include "configtool/form_texts.h"
#include "store/ascii_case.h"
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

void FormLogic::Run(const CommandLine& command, ShowState show) {
  if (environment_.runner != nullptr) {
    environment_.runner->Run(command, show);
  } else {
    RunAndWait(command, show);
  }
}

void FormLogic::LoadSettings() {
  InitializeSqlLayerOnce();
  // A failed open is only traced; the statements below then fail quietly and
  // the lists stay empty. A database that cannot be written is still read.
  const bool read_only = !OpenDatabase(CurrentDirectory(), texts::kDatabaseFile,
                                       GetSetting(setting::DatabaseServer)) &&
                         SQL_ErrorNumber() == kSqlErrorReadOnly;
  database_open_ = true;
  HandDatabaseToServiceUser(CurrentDirectory(), texts::kDatabaseFile);  // started with sudo
  view_.SetText(ControlId::TitleLabel, TitleText());
  FillList(ControlId::WhitelistList, texts::kSelectWhitelist, "email");
  FillList(ControlId::DomainList, texts::kSelectDomains, "what");
  FillList(ControlId::RelayList, texts::kSelectRelays, "what");
  LoadRegistryValues();
  view_.SetChecked(ControlId::RestartCheck, true);
  if (read_only) view_.ShowMessage({texts::kMessageTitle, texts::kDatabaseReadOnly, MessageIcon::Warning, false});
}

void FormLogic::FillList(ControlId list, std::string_view query, std::string_view column) {
  SQL_Stmt(3, query);
  SQL_Fetch(0);
  for (int n = 0; SQL_Eod() == 0 && n < kMaxListEntries; ++n) {
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
  if (ParseLeadingNumber(view_.Text(ControlId::RecvPortEdit)) == 0) return &texts::kUnknownReceivePort;
  if (ParseLeadingNumber(view_.Text(ControlId::SendPortEdit)) == 0) return &texts::kUnknownSendPort;
  if (view_.Text(ControlId::RecvHostInput).empty()) return &texts::kUnknownReceiveIp;
  if (view_.Text(ControlId::SendHostEdit).empty()) return &texts::kUnknownSendHost;
  return nullptr;
}

bool FormLogic::WriteSettings() {
  const std::string rbl = view_.Checked(ControlId::RblCheck) ? "1" : "0";
  const std::array<std::pair<std::string_view, std::string>, 8> values{{
      {setting::RecvPort, view_.Text(ControlId::RecvPortEdit)},
      {setting::RecvHost, view_.Text(ControlId::RecvHostInput)},
      {setting::SendPort, view_.Text(ControlId::SendPortEdit)},
      {setting::SendHost, view_.Text(ControlId::SendHostEdit)},
      {setting::StatusMail, view_.Text(ControlId::StatusMailEdit)},
      {setting::WorkDir, CurrentDirectory()},
      {setting::GarbageCollector, "1"},
      {setting::CheckBadMailAdr, rbl},
  }};
  // The first failed write stops the save: the rest would fail the same way.
  for (const auto& [name, value] : values)
    if (!SetSetting(name, value)) return false;
  return true;
}

void FormLogic::SaveSettings() {
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
  HandDatabaseToServiceUser(CurrentDirectory(), texts::kDatabaseFile);  // a -wal made anew
  if (!StatementFailed()) return true;
  std::string error = SQL_ErrorText();
  if (error.empty()) error = Concat({texts::kDatabaseErrorFallback, std::to_string(SQL_ErrorNumber())});
  view_.ShowMessage({texts::kMessageTitle, error, MessageIcon::Warning, true});
  return false;
}

void FormLogic::AddDomain() {
  std::string text = view_.Text(ControlId::DomainEdit);
  if (text.empty()) return;
  if (text.front() != '@') {
    text.insert(0, "@");
    view_.SetText(ControlId::DomainEdit, text);
  }
  if (!ExecuteListStatement(Concat({texts::kInsertSpamSystem, SqlQuote(text), texts::kDomainTypSuffix})))
    return;
  view_.AppendListEntry(ControlId::DomainList, text);
  view_.SetText(ControlId::DomainEdit, "");
}

void FormLogic::AddRelayIp() {
  std::string text = view_.Text(ControlId::RelayIpInput);
  if (text.empty()) return;
  if (!ExecuteListStatement(Concat({texts::kInsertSpamSystem, SqlQuote(text), texts::kRelayTypSuffix})))
    return;
  view_.AppendListEntry(ControlId::RelayList, text);
  view_.SetText(ControlId::RelayIpInput, "0.0.0.0");
}

void FormLogic::AddWhitelistEntry() {
  std::string text = view_.Text(ControlId::WhitelistEdit);
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

void FormLogic::InstallService() {
  Run({ProgramRootMayRun(CurrentDirectory() + std::string(texts::kServiceProgram)), std::string(texts::kInstallSwitch)},
      ShowState::Hidden);
  view_.ShowMessage({texts::kMessageTitle, texts::kServiceInstalled, MessageIcon::Information, true});
}

void FormLogic::UninstallService() {
  view_.SetEnabled(ControlId::UninstallButton, false);
  Run({std::string(texts::kSystemctl), "stop", std::string(texts::kServiceName)}, ShowState::Hidden);
  Run({ProgramRootMayRun(CurrentDirectory() + std::string(texts::kServiceProgram)), std::string(texts::kUninstallSwitch)},
      ShowState::Hidden);
  view_.ShowMessage({texts::kMessageTitle, texts::kServiceUninstalled, MessageIcon::Information, true});
  view_.SetEnabled(ControlId::UninstallButton, true);
  view_.SetChecked(ControlId::RestartCheck, false);
}

void FormLogic::RestartService() {
  Run({std::string(texts::kSystemctl), "stop", std::string(texts::kServiceName)}, ShowState::ShownNoActivate);
  Run({std::string(texts::kSystemctl), "start", std::string(texts::kServiceName)}, ShowState::ShownNoActivate);
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
