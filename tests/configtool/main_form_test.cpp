// The Qt form under the offscreen platform: layout, focus, keys, clicks and
// message boxes, with a real spam.mdb and registry in a temporary root.
#include <QApplication>
#include <QCheckBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QtTest>
#include <memory>

#include "configtool/ip_address_input.h"
#include "configtool/main_form.h"
#include "tests/configtool/tool_test_support.h"

using namespace brenvik;

namespace {

class RecordingRunner : public CommandRunner {
 public:
  std::vector<CommandLine> runs;
  void Run(const CommandLine& command, ShowState) override { runs.push_back(command); }
};

struct SeenBox {
  QString title, text;
  QMessageBox::Icon icon;
  bool owned;
  int buttons;
};

}  // namespace

class MainFormTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::TempMachine> machine_;
  RecordingRunner runner_;
  std::unique_ptr<MainForm> form_;
  std::vector<SeenBox> boxes_;

  template <typename W = QWidget>
  W* Get(ControlId id) {
    W* w = qobject_cast<W*>(form_->Control(id));
    if (w == nullptr) qFatal("control %d missing or of another kind", static_cast<int>(id));
    return w;
  }

  // Opens the form shown and active; every message box is recorded and
  // answered with OK as soon as its own event loop runs.
  void OpenForm() {
    form_ = std::make_unique<MainForm>(ToolEnvironment{[this] { return machine_->Work(); }, &runner_});
    form_->SetMessageHook([this](QMessageBox& box) {
      boxes_.push_back({box.windowTitle(), box.text(), box.icon(), box.parentWidget() == form_.get(),
                        static_cast<int>(box.buttons().size())});
      QTimer::singleShot(0, &box, [&box] { box.button(QMessageBox::Ok)->click(); });
    });
    form_->show();
    QApplication::setActiveWindow(form_.get());
    QVERIFY(QTest::qWaitForWindowActive(form_.get()));
  }

  QWidget* Focused() { return QApplication::focusWidget(); }

 private slots:
  void init() {
    machine_ = std::make_unique<test::TempMachine>();
    runner_.runs.clear();
    boxes_.clear();
  }
  void cleanup() {
    form_.reset();
    machine_.reset();
  }

  void layoutAt96Dpi() {
    QCOMPARE(PrimaryScreenDpi(), 96.0);
    OpenForm();
    QCOMPARE(form_->frameGeometry().size(), QSize(536, 480));
    QCOMPARE(form_->windowTitle(), QStringLiteral("Brenvik"));
    QCOMPARE(Get(ControlId::RecvPortEdit)->geometry(), QRect(467, 45, 38, 19));
    QCOMPARE(Get(ControlId::TitleLabel)->geometry(), QRect(16, 8, 304, 24));
    const QRect screen = form_->screen()->geometry();
    QCOMPARE(form_->frameGeometry().topLeft(),
             QPoint((screen.width() - 536) / 2, (screen.height() - 480) / 2));
    // The controls stay where they are when the window is resized.
    form_->resize(800, 700);
    QCOMPARE(Get(ControlId::RecvPortEdit)->geometry(), QRect(467, 45, 38, 19));
    form_->resize(300, 200);
    QCOMPARE(Get(ControlId::SaveButton)->geometry(), QRect(416, 414, 102, 32));
  }

  void everyControlWithItsIdAndText() {
    OpenForm();
    QList<QWidget*> children;
    for (QObject* o : form_->children())
      if (auto* w = qobject_cast<QWidget*>(o); w != nullptr && w->property("controlId").isValid())
        children.push_back(w);
    QCOMPARE(children.size(), 37);
    // Every control of the table is there (stacking reorders the children list).
    QStringList names;
    for (const auto& spec : kControls) names << QString::fromUtf8(spec.name.data(), spec.name.size());
    QStringList created;
    for (QWidget* w : children) created << w->objectName();
    QCOMPARE(created.size(), names.size());
    for (const QString& n : names) QVERIFY2(created.contains(n), qPrintable(n));
    QCOMPARE(Get(ControlId::RecvPortEdit)->property("controlId").toInt(), 1027);
    QCOMPARE(Get<QPushButton>(ControlId::SaveButton)->text(), QStringLiteral("Save and End"));
    QCOMPARE(Get<QGroupBox>(ControlId::RelayGroup)->title(), QStringLiteral("this IPs are allowed to relay"));
    QCOMPARE(Get<QLabel>(ControlId::TitleLabel)->text(), QStringLiteral("Brenvik V1.1"));
    QVERIFY(Get<QCheckBox>(ControlId::RestartCheck)->isChecked());
    QVERIFY(!Get<QCheckBox>(ControlId::RblCheck)->isChecked());
    QCOMPARE(form_->Text(ControlId::RecvHostInput), std::string("0.0.0.0"));
    QCOMPARE(form_->Text(ControlId::RelayIpInput), std::string("0.0.0.0"));
    QVERIFY(Get<QLabel>(ControlId::RecvPortLabel)->alignment() & Qt::AlignRight);
  }

  void fontsAndColours() {
    OpenForm();
    const QFont edit = Get(ControlId::RecvPortEdit)->font();
    QCOMPARE(edit.family(), QStringLiteral("Tahoma"));
    QCOMPARE(edit.pixelSize(), 13);
    QCOMPARE(edit.weight(), QFont::Normal);
    QCOMPARE(Get(ControlId::DomainList)->font().pixelSize(), 11);
    QCOMPARE(Get(ControlId::RecvGroup)->font().weight(), QFont::Bold);
    QCOMPARE(Get(ControlId::TitleLabel)->font().pixelSize(), 16);
    QCOMPARE(Get(ControlId::TitleLabel)->font().weight(), QFont::Bold);
    if (QFile::exists(QStringLiteral("/usr/share/wine/fonts/tahoma.ttf")))
      QCOMPARE(QFontInfo(edit).family(), QStringLiteral("Tahoma"));
    QCOMPARE(Get(ControlId::TitleLabel)->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    QCOMPARE(Get(ControlId::StatusMailLabel)->backgroundRole(), QPalette::Button);
    QCOMPARE(Get(ControlId::StatusMailEdit)->backgroundRole(), QPalette::Base);
  }

  void tabOrderFollowsCreationAndSkipsInputsLabelsGroups() {
    OpenForm();
    QCOMPARE(Focused(), Get(ControlId::RecvPortEdit));
    std::vector<QWidget*> expected;
    bool after_port = false;
    for (const auto& spec : kControls) {
      if (spec.id == ControlId::RecvPortEdit) { after_port = true; continue; }
      if (after_port && IsTabStop(spec.kind)) expected.push_back(form_->Control(spec.id));
    }
    expected.push_back(Get(ControlId::RecvPortEdit));  // and round again
    for (QWidget* next : expected) {
      QTest::keyClick(Focused(), Qt::Key_Tab);
      QVERIFY2(Focused() == next, qPrintable(Focused() ? Focused()->objectName() : QStringLiteral("none")));
    }
    QCOMPARE(Get(ControlId::RecvHostInput)->focusPolicy(), Qt::NoFocus);
    for (QLineEdit* octet : Get(ControlId::RelayIpInput)->findChildren<QLineEdit*>())
      QVERIFY(!(octet->focusPolicy() & Qt::TabFocus));
  }

  void tabIntoAnEditSelectsItsText() {
    OpenForm();
    Get<QLineEdit>(ControlId::SendHostEdit)->setText(QStringLiteral("backend.example"));
    QTest::keyClick(Focused(), Qt::Key_Tab);
    QCOMPARE(Focused(), Get(ControlId::SendHostEdit));
    QCOMPARE(Get<QLineEdit>(ControlId::SendHostEdit)->selectedText(), QStringLiteral("backend.example"));
    QTest::keyClick(Focused(), Qt::Key_Backtab);
    Get<QLineEdit>(ControlId::RecvPortEdit)->setText(QStringLiteral("2525"));
    QTest::keyClick(Focused(), Qt::Key_Tab);
    QTest::keyClick(Focused(), Qt::Key_Backtab);
    QCOMPARE(Get<QLineEdit>(ControlId::RecvPortEdit)->selectedText(), QStringLiteral("2525"));
  }

  void enterAndEscapeDoNothing() {
    OpenForm();
    for (ControlId id : {ControlId::RecvPortEdit, ControlId::SaveButton, ControlId::CancelButton,
                         ControlId::DomainList, ControlId::RblCheck}) {
      QWidget* w = form_->Control(id);
      w->setFocus(Qt::OtherFocusReason);
      for (int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) QTest::keyClick(w, Qt::Key(key));
    }
    QVERIFY(form_->isVisible());
    QVERIFY(boxes_.empty());
    QVERIFY(form_->Logic().DatabaseOpen());
    QVERIFY(!QFile::exists(QString::fromStdString(machine_->RegistryFile())));
  }

  void clicksReachTheirHandlers() {
    OpenForm();
    Get<QLineEdit>(ControlId::DomainEdit)->setText(QStringLiteral("click.example"));
    QTest::mouseClick(Get(ControlId::DomainAddButton), Qt::LeftButton);
    auto* domains = Get<QListWidget>(ControlId::DomainList);
    QCOMPARE(domains->count(), 1);
    QCOMPARE(domains->item(0)->text(), QStringLiteral("@click.example"));
    QCOMPARE(Get<QLineEdit>(ControlId::DomainEdit)->text(), QString());

    auto* relay_input = static_cast<IpAddressInput*>(form_->Control(ControlId::RelayIpInput));
    QTest::mouseClick(relay_input->Field(0), Qt::LeftButton);
    QTest::keyClick(relay_input->Field(0), Qt::Key_A, Qt::ControlModifier);
    // Three digits or a dot move on to the next field; each key goes where the focus is.
    for (char c : std::string("192" "0.2.9")) QTest::keyClick(Focused(), c);
    QCOMPARE(QString::fromStdString(relay_input->Text()), QStringLiteral("192.0.2.9"));
    QTest::mouseClick(Get(ControlId::RelayAddButton), Qt::LeftButton);
    QCOMPARE(Get<QListWidget>(ControlId::RelayList)->item(0)->text(), QStringLiteral("192.0.2.9"));
    QCOMPARE(relay_input->Text(), std::string("0.0.0.0"));

    // Select the entry with a click on it, then remove it.
    const QRect first = domains->visualItemRect(domains->item(0));
    QTest::mouseClick(domains->viewport(), Qt::LeftButton, {}, first.center());
    QTest::mouseClick(Get(ControlId::DomainRemoveButton), Qt::LeftButton);
    QCOMPARE(domains->count(), 0);

    QTest::mouseClick(Get(ControlId::InstallButton), Qt::LeftButton);
    QCOMPARE(runner_.runs.size(), std::size_t{1});
    QCOMPARE(runner_.runs[0].back(), std::string("-install"));
    QTest::mouseClick(Get(ControlId::UninstallButton), Qt::LeftButton);
    QCOMPARE(runner_.runs.size(), std::size_t{3});
    QVERIFY(Get(ControlId::UninstallButton)->isEnabled());
    QVERIFY(!Get<QCheckBox>(ControlId::RestartCheck)->isChecked());
    QCOMPARE(boxes_.size(), std::size_t{2});

    QTest::mouseClick(Get(ControlId::CancelButton), Qt::LeftButton);
    QVERIFY(!form_->isVisible());
    QVERIFY(!form_->Logic().DatabaseOpen());
  }

  void messageBoxesAreShownAndAnswered() {
    OpenForm();
    QTest::mouseClick(Get(ControlId::SaveButton), Qt::LeftButton);  // no domain yet
    QCOMPARE(boxes_.size(), std::size_t{1});
    QCOMPARE(boxes_[0].title, QStringLiteral("Brenvik"));
    QCOMPARE(boxes_[0].text, QStringLiteral("You need at least one receive domain!"));
    QCOMPARE(boxes_[0].icon, QMessageBox::NoIcon);
    QVERIFY(!boxes_[0].owned);
    QCOMPARE(boxes_[0].buttons, 1);
    QVERIFY(form_->isVisible());

    QTest::mouseClick(Get(ControlId::InstallButton), Qt::LeftButton);
    QCOMPARE(boxes_.size(), std::size_t{2});
    QCOMPARE(boxes_[1].icon, QMessageBox::Information);
    QVERIFY(boxes_[1].owned);
    QCOMPARE(boxes_[1].text, QStringLiteral("Service installed succesfully. \nPlease change the servicestart to "
                                            "automatic\nand let the service start after save and end!\n"));
  }

  void saveAndEndWritesAndCloses() {
    OpenForm();
    Get<QLineEdit>(ControlId::DomainEdit)->setText(QStringLiteral("example.org"));
    QTest::mouseClick(Get(ControlId::DomainAddButton), Qt::LeftButton);
    Get<QLineEdit>(ControlId::RecvPortEdit)->setText(QStringLiteral("25"));
    Get<QLineEdit>(ControlId::SendPortEdit)->setText(QStringLiteral("2526"));
    Get<QLineEdit>(ControlId::SendHostEdit)->setText(QStringLiteral("backend.example.org"));
    QTest::mouseClick(Get(ControlId::SaveButton), Qt::LeftButton);
    QVERIFY(boxes_.empty());
    QVERIFY(!form_->isVisible());
    QCOMPARE(runner_.runs.size(), std::size_t{2});  // restart ticked: stop, start
    QCOMPARE(QString::fromStdString(machine_->ReadRegistryFile()).contains(QStringLiteral("\"RecvHost\"=\"0.0.0.0\"")),
             true);
  }

  void closeBoxClosesTheDatabaseWithoutSaving() {
    OpenForm();
    Get<QLineEdit>(ControlId::RecvPortEdit)->setText(QStringLiteral("2525"));
    QVERIFY(form_->close());
    QVERIFY(!form_->Logic().DatabaseOpen());
    QVERIFY(!QFile::exists(QString::fromStdString(machine_->RegistryFile())));
  }

  void ipAddressInputKeepsWhatItCannotShow() {
    IpAddressInput input;
    input.resize(131, 19);
    input.SetText("10.20.30.40");
    QCOMPARE(input.Field(3)->text(), QStringLiteral("40"));
    QCOMPARE(input.Text(), std::string("10.20.30.40"));
    for (int i = 0; i < 4; ++i) input.Field(i)->clear();
    QCOMPARE(input.Text(), std::string());
    input.Field(1)->setText(QStringLiteral("7"));
    QCOMPARE(input.Text(), std::string("0.7.0.0"));
    input.SetText("localhost");
    QCOMPARE(input.Field(0)->text(), QString());
    QCOMPARE(input.Text(), std::string("localhost"));
    QCOMPARE(input.toolTip(), QStringLiteral("localhost"));
    QTest::keyClicks(input.Field(0), QStringLiteral("127"));
    QCOMPARE(input.Text(), std::string("127.0.0.0"));
    QTest::keyClicks(input.Field(1), QStringLiteral("999"));  // not an octet: refused
    QCOMPARE(input.Field(1)->text().toInt() <= 255, true);
  }
};

QTEST_MAIN(MainFormTest)
#include "main_form_test.moc"
