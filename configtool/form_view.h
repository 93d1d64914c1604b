#pragma once
// What the form logic needs from the form: texts, lists, ticks, enabling,
// message boxes and closing. The Qt form implements it; tests fake it.
#include <string>
#include <string_view>

#include "configtool/form_controls.h"

namespace brenvik {

enum class MessageIcon { None, Information, Warning };

// How a message box is shown: it always has a title, the text and one OK
// button, and returns once the user has answered it.
struct MessageBoxSpec {
  std::string_view title;
  std::string_view text;  // line ends are CR LF
  MessageIcon icon = MessageIcon::None;
  bool owned_by_form = true;  // false: a box of its own, not tied to the form
};

class FormView {
 public:
  virtual ~FormView() = default;

  // Edits, IP-address inputs and labels. An IP-address input yields its
  // dotted text, or "" when all four fields are empty.
  virtual std::string Text(ControlId id) const = 0;
  virtual void SetText(ControlId id, std::string_view text) = 0;

  // List boxes: unsorted, single selection (-1 = none).
  virtual int ListCount(ControlId list) const = 0;
  virtual std::string ListEntry(ControlId list, int index) const = 0;
  virtual int ListSelection(ControlId list) const = 0;
  virtual void AppendListEntry(ControlId list, std::string_view text) = 0;
  virtual void RemoveListEntry(ControlId list, int index) = 0;

  // Check boxes.
  virtual bool Checked(ControlId check) const = 0;
  virtual void SetChecked(ControlId check, bool checked) = 0;

  virtual void SetEnabled(ControlId id, bool enabled) = 0;

  // Modal: returns when the box has been answered.
  virtual void ShowMessage(const MessageBoxSpec& message) = 0;

  // Ends the form (and with it the tool) without asking anything.
  virtual void CloseForm() = 0;
};

}  // namespace brenvik
