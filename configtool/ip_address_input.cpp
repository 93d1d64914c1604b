#include "configtool/ip_address_input.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>

#include "configtool/dotted_address.h"

namespace brenvik {
namespace {

// 0..255 without leading zeros beyond a single digit's worth; empty allowed.
const QRegularExpression kOctetPattern(QStringLiteral("^(25[0-5]|2[0-4][0-9]|1[0-9]{2}|[1-9]?[0-9])?$"));

}  // namespace

IpAddressInput::IpAddressInput(QWidget* parent) : QFrame(parent) {
  setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  setFocusPolicy(Qt::NoFocus);  // not a Tab stop; its fields take clicks
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Base);
  auto* validator = new QRegularExpressionValidator(kOctetPattern, this);
  for (int i = 0; i < 4; ++i) {
    auto* field = new QLineEdit(this);
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
  for (int i = 0; i < 4; ++i)
    fields_[i]->setText(octets ? QString::number((*octets)[i]) : QString());
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
  // Three digits complete an octet: go on to the next field.
  if (fields_[index]->text().size() == 3 && index < 3) {
    fields_[index + 1]->setFocus(Qt::OtherFocusReason);
    fields_[index + 1]->selectAll();
  }
}

bool IpAddressInput::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    for (int i = 0; i < 3; ++i) {
      if (watched == fields_[i] && key->key() == Qt::Key_Period) {
        fields_[i + 1]->setFocus(Qt::OtherFocusReason);
        fields_[i + 1]->selectAll();
        return true;
      }
    }
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
