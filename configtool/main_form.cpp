#include "configtool/main_form.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFile>
#include <QFontDatabase>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <cstdio>

#include "configtool/form_texts.h"
#include "configtool/group_frame.h"
#include "configtool/ip_address_input.h"
#include "configtool/twips.h"

namespace brenvik {
namespace {

constexpr const char* kTahomaFiles[] = {"/usr/share/wine/fonts/tahoma.ttf",
                                        "/usr/share/wine/fonts/tahomabd.ttf"};

// An edit that selects its whole text whenever it gets the focus other than
// by a click (a click places the caret, as users expect).
constexpr int kEditInnerMargin = 2;  // QLineEdit's own horizontal margin, in pixels

class SelectAllEdit final : public QLineEdit {
 public:
  using QLineEdit::QLineEdit;

 protected:
  void focusInEvent(QFocusEvent* event) override {
    QLineEdit::focusInEvent(event);
    if (event->reason() != Qt::MouseFocusReason && event->reason() != Qt::PopupFocusReason) selectAll();
  }
};

QString ToQt(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string FromQt(const QString& text) { return text.toStdString(); }

QMessageBox::Icon ToQtIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Information: return QMessageBox::Information;
    case MessageIcon::Warning: return QMessageBox::Warning;
    case MessageIcon::None: break;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

void RegisterTahoma() {
  static bool done = false;
  if (done) return;
  done = true;
  for (const char* path : kTahomaFiles)
    if (QFile::exists(QString::fromLatin1(path))) QFontDatabase::addApplicationFont(QString::fromLatin1(path));
}

double PrimaryScreenDpi() {
  QScreen* screen = QGuiApplication::primaryScreen();
  return screen != nullptr ? screen->logicalDotsPerInchX() : 96.0;
}

MainForm::MainForm(ToolEnvironment environment, double dpi)
    : dpi_(dpi > 0 ? dpi : PrimaryScreenDpi()),
      logic_(std::make_unique<FormLogic>(*this, std::move(environment))) {
  RegisterTahoma();
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(ToQt(kFormCaption));
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Button);

  QWidget* previous_stop = nullptr;
  for (const ControlSpec& spec : kControls) {
    QWidget* widget = CreateControl(spec);
    controls_[spec.id] = widget;
    if (IsTabStop(spec.kind)) {
      if (previous_stop != nullptr) setTabOrder(previous_stop, widget);
      previous_stop = widget;
    }
  }
  // Group boxes frame other controls: keep them underneath so that clicks
  // reach what they frame.
  for (const ControlSpec& spec : kControls)
    if (spec.kind == ControlKind::GroupBox) controls_[spec.id]->lower();

  FitOuterSize();
  if (QWidget* port = Control(ControlId::RecvPortEdit); port->isEnabled()) port->setFocus();
  logic_->LoadSettings();
}

MainForm::~MainForm() = default;

int MainForm::Pixels(int twips) const { return TwipsToPixels(twips, dpi_); }

QWidget* MainForm::Control(ControlId id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

QWidget* MainForm::CreateControl(const ControlSpec& spec) {
  QWidget* widget = nullptr;
  const QString text = ToQt(spec.text);
  switch (spec.kind) {
    case ControlKind::Edit: {
      auto* edit = new SelectAllEdit(text, this);
      // Qt keeps two pixels inside the frame on either side; cancelling them
      // lets a five-digit port fit the 570-twip edit, as on the original form.
      edit->setTextMargins(-kEditInnerMargin, 0, -kEditInnerMargin, 0);
      widget = edit;
      break;
    }
    case ControlKind::IpAddressInput: {
      auto* input = new IpAddressInput(this);
      input->SetText(spec.text);
      input->SetOutOfRangeHandler([this](int typed) {
        ShowMessage({texts::kMessageTitle, std::to_string(typed) + std::string(texts::kOctetOutOfRange),
                     MessageIcon::Warning, true});
      });
      widget = input;
      break;
    }
    case ControlKind::ListBox: {
      auto* list = new QListWidget(this);
      list->setSelectionMode(QAbstractItemView::SingleSelection);
      list->setSortingEnabled(false);
      list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
      widget = list;
      break;
    }
    case ControlKind::PushButton: {
      auto* button = new QPushButton(text, this);
      button->setAutoDefault(false);  // Enter does nothing on this form
      const ControlId id = spec.id;
      connect(button, &QPushButton::clicked, this, [this, id] { logic_->Click(id); });
      widget = button;
      break;
    }
    case ControlKind::GroupBox: widget = new GroupFrame(text, this); break;
    case ControlKind::CheckBox: {
      auto* check = new QCheckBox(text, this);
      check->setChecked(spec.checked);
      widget = check;
      break;
    }
    case ControlKind::Label: {
      auto* label = new QLabel(text, this);
      label->setAlignment((spec.align == TextAlign::Right ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignTop);
      widget = label;
      break;
    }
  }
  widget->setObjectName(ToQt(spec.name));
  widget->setProperty("controlId", static_cast<int>(spec.id));
  widget->setGeometry(Pixels(spec.x), Pixels(spec.y), Pixels(spec.width), Pixels(spec.height));
  if (!IsTabStop(spec.kind)) widget->setFocusPolicy(Qt::NoFocus);
  ApplyLook(widget, spec);
  return widget;
}

void MainForm::ApplyLook(QWidget* widget, const ControlSpec& spec) {
  QFont font(QStringLiteral("Tahoma"));
  font.setPixelSize(spec.font_pixels);
  font.setWeight(spec.bold ? QFont::Bold : QFont::Normal);
  widget->setFont(font);
  switch (spec.colours) {
    case ControlColours::Default: return;
    case ControlColours::Window:
      widget->setBackgroundRole(QPalette::Base);
      widget->setForegroundRole(QPalette::Text);
      break;
    case ControlColours::Face:
      widget->setBackgroundRole(QPalette::Button);
      widget->setForegroundRole(QPalette::WindowText);
      break;
    case ControlColours::Title: {
      widget->setBackgroundRole(QPalette::Button);
      widget->setForegroundRole(QPalette::WindowText);
      QPalette palette = widget->palette();
      palette.setColor(QPalette::WindowText, QColor::fromRgb(kTitleTextRgb));
      widget->setPalette(palette);
      break;
    }
  }
  // Roles, not fixed colours: a changed system palette repaints them.
  widget->setAutoFillBackground(true);
}

// The outer window (decorations included) gets the form's size, centred on
// the screen; without decorations that is the client size.
void MainForm::FitOuterSize() {
  const QSize outer(Pixels(kFormWidthTwips), Pixels(kFormHeightTwips));
  const QSize decorations = frameGeometry().size() - geometry().size();
  resize(outer - decorations);
  if (QScreen* s = screen()) {
    const QRect area = s->geometry();
    move(area.x() + (area.width() - outer.width()) / 2, area.y() + (area.height() - outer.height()) / 2);
  }
}

void MainForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (fitted_) return;
  fitted_ = true;
  FitOuterSize();
  // The window manager may report its frame only after mapping.
  QTimer::singleShot(0, this, [this] { FitOuterSize(); });
}

void MainForm::closeEvent(QCloseEvent* event) {
  logic_->CloseRequested();
  event->accept();
}

void MainForm::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape: event->accept(); return;  // the form has no default or cancel button
    default: QWidget::keyPressEvent(event);
  }
}

std::string MainForm::Text(ControlId id) const {
  QWidget* w = Control(id);
  if (auto* edit = qobject_cast<QLineEdit*>(w)) return FromQt(edit->text());
  if (auto* label = qobject_cast<QLabel*>(w)) return FromQt(label->text());
  if (auto* input = dynamic_cast<IpAddressInput*>(w)) return input->Text();
  if (auto* button = qobject_cast<QAbstractButton*>(w)) return FromQt(button->text());
  if (auto* group = qobject_cast<QGroupBox*>(w)) return FromQt(group->title());
  return {};
}

void MainForm::SetText(ControlId id, std::string_view text) {
  QWidget* w = Control(id);
  if (auto* edit = qobject_cast<QLineEdit*>(w)) {
    edit->setText(ToQt(text));
  } else if (auto* label = qobject_cast<QLabel*>(w)) {
    label->setText(ToQt(text));
  } else if (auto* input = dynamic_cast<IpAddressInput*>(w)) {
    input->SetText(text);
  } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
    button->setText(ToQt(text));
  }
}

int MainForm::ListCount(ControlId list) const {
  auto* w = qobject_cast<QListWidget*>(Control(list));
  return w != nullptr ? w->count() : 0;
}

std::string MainForm::ListEntry(ControlId list, int index) const {
  auto* w = qobject_cast<QListWidget*>(Control(list));
  QListWidgetItem* item = w != nullptr ? w->item(index) : nullptr;
  return item != nullptr ? FromQt(item->text()) : std::string();
}

int MainForm::ListSelection(ControlId list) const {
  auto* w = qobject_cast<QListWidget*>(Control(list));
  if (w == nullptr) return -1;
  const auto selected = w->selectedItems();
  return selected.isEmpty() ? -1 : w->row(selected.front());
}

void MainForm::AppendListEntry(ControlId list, std::string_view text) {
  if (auto* w = qobject_cast<QListWidget*>(Control(list))) w->addItem(ToQt(text));
}

void MainForm::RemoveListEntry(ControlId list, int index) {
  auto* w = qobject_cast<QListWidget*>(Control(list));
  if (w == nullptr) return;
  delete w->takeItem(index);
  // The list would select the next entry, and a second "remove" would
  // delete what nobody chose.
  w->setCurrentItem(nullptr);
  w->clearSelection();
}

bool MainForm::Checked(ControlId check) const {
  auto* w = qobject_cast<QCheckBox*>(Control(check));
  return w != nullptr && w->isChecked();
}

void MainForm::SetChecked(ControlId check, bool checked) {
  if (auto* w = qobject_cast<QCheckBox*>(Control(check))) w->setChecked(checked);
}

void MainForm::SetEnabled(ControlId id, bool enabled) {
  if (QWidget* w = Control(id)) w->setEnabled(enabled);
}

void MainForm::ShowMessage(const MessageBoxSpec& message) {
  QString text = ToQt(message.text);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));  // a line break on screen
  QMessageBox box(ToQtIcon(message.icon), ToQt(message.title), text, QMessageBox::Ok,
                  message.owned_by_form ? this : nullptr);
  if (!message.owned_by_form) box.setWindowModality(Qt::ApplicationModal);
  if (message_hook_) message_hook_(box);
  // Also for an administrator who started the tool from a terminal, and
  // for a look back at what was said.
  std::fprintf(stderr, "%s: %s\n", box.windowTitle().toLocal8Bit().constData(), text.toLocal8Bit().constData());
  std::fflush(stderr);
  box.exec();
}

void MainForm::CloseForm() { close(); }

}  // namespace brenvik
