#include "configtool/ip_address_input.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QRegularExpressionValidator>

#include "configtool/dotted_address.h"

namespace brenvik {
namespace {

// Up to three digits; a value over 255 is set to 255 with a message.
const QRegularExpression kOctetPattern(QStringLiteral("^[0-9]{0,3}$"));
constexpr int kMaxOctet = 255;

}  // namespace

// One octet. A value the person has not typed here (set by the program:
// the stored address, "0.0.0.0" after an add) is selected by a click, so
// that typing replaces it instead of going in front of it.
class OctetField final : public QLineEdit {
 public:
  using QLineEdit::QLineEdit;

  bool typed = false;  // the person has typed into this field since it was last set

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    QLineEdit::mousePressEvent(event);
    if (event->button() == Qt::LeftButton && !typed && !text().isEmpty()) selectAll();
  }
};

IpAddressInput::IpAddressInput(QWidget* parent) : QFrame(parent) {
  setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  setFocusPolicy(Qt::NoFocus);  // not a Tab stop; its fields take clicks
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Base);
  auto* validator = new QRegularExpressionValidator(kOctetPattern, this);
  for (int i = 0; i < 4; ++i) {
    auto* field = new OctetField(this);
    field->setObjectName(QStringLiteral("octet%1").arg(i));
    field->setFrame(false);
    field->setAlignment(Qt::AlignCenter);
    field->setValidator(validator);
    field->setFocusPolicy(Qt::ClickFocus);
    field->installEventFilter(this);
    connect(field, &QLineEdit::textEdited, this, [this, i] { FieldEdited(i); });
    fields_[i] = field;
    if (i < 3) {
      auto* dot = new QLabel(QStringLiteral("."), this);
      dot->setObjectName(QStringLiteral("dot%1").arg(i));
      dot->setAlignment(Qt::AlignCenter);
      dot->setFocusPolicy(Qt::NoFocus);
    }
  }
  Layout();
}

QLineEdit* IpAddressInput::Field(int index) const { return fields_[index]; }

std::string IpAddressInput::Text() const {
  if (!kept_text_.empty()) return kept_text_;
  OctetFields octets;
  for (int i = 0; i < 4; ++i) {
    const QString t = fields_[i]->text();
    if (!t.isEmpty()) octets[i] = t.toInt();
  }
  return DottedText(octets);
}

void IpAddressInput::SetText(std::string_view text) {
  kept_text_.clear();
  setToolTip(QString());
  auto octets = ParseDottedAddress(text);
  for (int i = 0; i < 4; ++i) {
    fields_[i]->setText(octets ? QString::number((*octets)[i]) : QString());
    fields_[i]->typed = false;
  }
  if (!octets && !text.empty()) {
    kept_text_ = std::string(text);
    setToolTip(QString::fromStdString(kept_text_));
  }
}

void IpAddressInput::FieldEdited(int index) {
  if (!kept_text_.empty()) {
    kept_text_.clear();
    setToolTip(QString());
  }
  OctetField* field = fields_[index];
  field->typed = true;
  if (const int typed = field->text().toInt(); typed > kMaxOctet) {
    field->setText(QString::number(kMaxOctet));
    field->selectAll();
    if (out_of_range_) out_of_range_(typed);
    return;
  }
  // Three digits complete an octet: go on to the next field.
  if (field->text().size() == 3 && field->cursorPosition() == 3 && index < 3) {
    MoveTo(index + 1, true);
    advanced_into_ = index + 1;
  }
}

void IpAddressInput::MoveTo(int index, bool select_all) {
  fields_[index]->setFocus(Qt::OtherFocusReason);
  if (select_all) fields_[index]->selectAll();
  else fields_[index]->end(false);
}

bool IpAddressInput::PasteAddress() {
  const QClipboard* clipboard = QGuiApplication::clipboard();
  if (clipboard == nullptr) return false;
  const std::string text = clipboard->text().trimmed().toStdString();
  if (!ParseDottedAddress(text)) return false;
  SetText(text);
  MoveTo(3, false);
  return true;
}

// True when the key was handled here and must not reach the field.
bool IpAddressInput::FieldKey(int index, QKeyEvent& key) {
  const bool just_entered = advanced_into_ == index;
  advanced_into_ = -1;
  if (key.matches(QKeySequence::Paste)) return PasteAddress();
  if (key.key() == Qt::Key_Period) {
    // The "." after three digits only confirms the move already made, also
    // when the field moved into holds a value.
    if (index < 3 && !just_entered) MoveTo(index + 1, true);
    return true;
  }
  if (key.key() == Qt::Key_Backspace && index > 0 && fields_[index]->text().isEmpty()) {
    MoveTo(index - 1, false);
    return true;
  }
  return false;
}

bool IpAddressInput::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::KeyPress:
      for (int i = 0; i < 4; ++i)
        if (watched == fields_[i] && FieldKey(i, *static_cast<QKeyEvent*>(event))) return true;
      break;
    case QEvent::MouseButtonPress:
    case QEvent::FocusOut:
      advanced_into_ = -1;  // a "." after a click or elsewhere is a "." again
      break;
    default: break;
  }
  return QFrame::eventFilter(watched, event);
}

void IpAddressInput::resizeEvent(QResizeEvent* event) {
  QFrame::resizeEvent(event);
  Layout();
}

// Four equal fields with a narrow dot between each pair.
void IpAddressInput::Layout() {
  const QRect area = contentsRect();
  const int w = area.width();
  const int h = area.height();
  const int dot = qMax(3, w / 16);
  const int field = qMax(1, (w - 3 * dot) / 4);
  int x = area.x();
  for (int i = 0; i < 4; ++i) {
    fields_[i]->setGeometry(x, area.y(), field, h);
    x += field;
    if (i < 3) {
      if (auto* label = findChild<QLabel*>(QStringLiteral("dot%1").arg(i))) label->setGeometry(x, area.y(), dot, h);
      x += dot;
    }
  }
}

}  // namespace brenvik
