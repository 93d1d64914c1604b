#pragma once
// Four octet fields that together yield one dotted IPv4 text.
#include <QFrame>
#include <array>
#include <functional>
#include <string>
#include <string_view>

class QLineEdit;

namespace brenvik {

class OctetField;

class IpAddressInput final : public QFrame {
 public:
  explicit IpAddressInput(QWidget* parent = nullptr);

  // "" when all four fields are empty, else the dotted octets (an empty
  // field counts as 0). A stored text that is not a dotted address, such as
  // a host name, is handed back unchanged until a field is edited.
  std::string Text() const;
  // A dotted address fills the fields; "" empties them; any other text
  // leaves them empty, is kept as it is and is shown in the tooltip.
  void SetText(std::string_view text);

  QLineEdit* Field(int index) const;

  // Called with a typed octet over 255, after the field was set to 255.
  void SetOutOfRangeHandler(std::function<void(int typed)> handler) { out_of_range_ = std::move(handler); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void FieldEdited(int index);
  bool FieldKey(int index, QKeyEvent& key);
  void MoveTo(int index, bool select_all);
  bool PasteAddress();
  void Layout();

  std::array<OctetField*, 4> fields_{};
  std::string kept_text_;                   // a non-dotted stored text, until edited
  int advanced_into_ = -1;                  // field just entered after three digits, until the next key
  std::function<void(int)> out_of_range_;   // told of an octet over 255
};

}  // namespace brenvik
