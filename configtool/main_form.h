#pragma once
// The configuration tool's window: the 37 controls at their twips positions,
// wired to FormLogic.
#include <QWidget>
#include <functional>
#include <map>
#include <memory>

#include "configtool/form_controls.h"
#include "configtool/form_logic.h"
#include "configtool/form_view.h"

class QMessageBox;

namespace brenvik {

// Makes the bundled Tahoma faces known to the application when present.
void RegisterTahoma();

// Logical horizontal DPI of the primary screen.
double PrimaryScreenDpi();

class MainForm final : public QWidget, public FormView {
 public:
  // Builds the controls at `dpi` (0: the primary screen's) and loads the
  // settings; the caller shows the form.
  explicit MainForm(ToolEnvironment environment, double dpi = 0);
  ~MainForm() override;

  FormLogic& Logic() { return *logic_; }
  QWidget* Control(ControlId id) const;
  double Dpi() const { return dpi_; }
  int Pixels(int twips) const;

  // Called with every message box just before it is shown (tests answer it).
  void SetMessageHook(std::function<void(QMessageBox&)> hook) { message_hook_ = std::move(hook); }

  // FormView
  std::string Text(ControlId id) const override;
  void SetText(ControlId id, std::string_view text) override;
  int ListCount(ControlId list) const override;
  std::string ListEntry(ControlId list, int index) const override;
  int ListSelection(ControlId list) const override;
  void AppendListEntry(ControlId list, std::string_view text) override;
  void RemoveListEntry(ControlId list, int index) override;
  bool Checked(ControlId check) const override;
  void SetChecked(ControlId check, bool checked) override;
  void SetEnabled(ControlId id, bool enabled) override;
  void ShowMessage(const MessageBoxSpec& message) override;
  void CloseForm() override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  QWidget* CreateControl(const ControlSpec& spec);
  void ApplyLook(QWidget* widget, const ControlSpec& spec);
  void FitOuterSize();

  double dpi_;
  std::map<ControlId, QWidget*> controls_;
  std::unique_ptr<FormLogic> logic_;
  std::function<void(QMessageBox&)> message_hook_;
  bool fitted_ = false;  // the outer size has been matched once
};

}  // namespace brenvik
