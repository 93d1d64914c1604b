// The Qt form under the offscreen platform: layout, focus, keys, clicks and
// message boxes, with a real spam.mdb and registry in a temporary root.
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QtTest>
#include <memory>

#include "configtool/group_frame.h"
#include "configtool/ip_address_input.h"
#include "configtool/main_form.h"
#include "tests/configtool/tool_test_support.h"

using namespace brenvik;

class MainFormTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::TempMachine> machine_;
  test::RecordingRunner runner_;
  std::unique_ptr<MainForm> form_;
  QStringList boxes_;  // "title: text", " [icon N]" unless none, " [owned]", the button count

  template <typename W = QWidget>
  W* Get(ControlId id) {
    W* w = qobject_cast<W*>(form_->Control(id));
    if (w == nullptr) qFatal("control %d missing or of another kind", static_cast<int>(id));
    return w;
  }
  QWidget* Focused() { return QApplication::focusWidget(); }
  // Dark pixels per column within `area`, without the empty columns at either end.
  static std::vector<int> InkColumns(const QImage& image, const QRect& area) {
    std::vector<int> columns;
    for (int x = area.left(); x <= area.right(); ++x) {
      int dark = 0;
      for (int y = area.top(); y <= area.bottom(); ++y) dark += qGray(image.pixel(x, y)) < 128;
      columns.push_back(dark);
    }
    while (!columns.empty() && columns.back() == 0) columns.pop_back();
    columns.erase(columns.begin(), std::find_if(columns.begin(), columns.end(), [](int d) { return d > 0; }));
    return columns;
  }
  bool RegistryWritten() { return QFile::exists(QString::fromStdString(machine_->RegistryFile())); }

 private slots:
  // Opens the form shown and active; every message box is recorded and
  // answered with OK as soon as its own event loop runs.
  void init() {
    machine_ = std::make_unique<test::TempMachine>();
    runner_.runs.clear();
    boxes_.clear();
    form_ = std::make_unique<MainForm>(ToolEnvironment{[this] { return machine_->Work(); }, &runner_});
    form_->SetMessageHook([this](QMessageBox& box) {
      const QString icon = box.icon() ? QStringLiteral(" [icon %1]").arg(box.icon()) : QString();
      boxes_ << box.windowTitle() + ": " + box.text() + icon + (box.parentWidget() == form_.get() ? " [owned] " : " ") +
                    QString::number(box.buttons().size());
      QTimer::singleShot(0, &box, [&box] { box.button(QMessageBox::Ok)->click(); });
    });
    form_->show();
    QApplication::setActiveWindow(form_.get());
    QVERIFY(QTest::qWaitForWindowActive(form_.get()));
  }
  void cleanup() {
    form_.reset();
    machine_.reset();
  }

  void layoutControlsFontsAndColoursAt96Dpi() {
    QCOMPARE(PrimaryScreenDpi(), 96.0);
    QCOMPARE(form_->frameGeometry().size(), QSize(536, 480));
    QCOMPARE(form_->windowTitle(), QStringLiteral("Brenvik"));
    const QRect screen = form_->screen()->geometry();
    QCOMPARE(form_->frameGeometry().topLeft(), QPoint((screen.width() - 536) / 2, (screen.height() - 480) / 2));
    QCOMPARE(Get(ControlId::RecvPortEdit)->geometry(), QRect(467, 45, 38, 19));
    form_->resize(300, 200);  // the controls stay where they are
    QCOMPARE(Get(ControlId::RecvPortEdit)->geometry(), QRect(467, 45, 38, 19));

    QStringList created;
    for (QObject* o : form_->children())
      if (auto* w = qobject_cast<QWidget*>(o); w != nullptr && w->property("controlId").isValid())
        created << w->objectName();
    QCOMPARE(created.size(), 37);
    for (const auto& spec : kControls)
      QVERIFY(created.contains(QString::fromUtf8(spec.name.data(), spec.name.size())));
    QCOMPARE(Get<QLabel>(ControlId::TitleLabel)->text(), QStringLiteral("Brenvik V1.1"));
    QCOMPARE(form_->Text(ControlId::RecvHostInput), std::string("0.0.0.0"));

    const QFont edit = Get(ControlId::RecvPortEdit)->font();
    QCOMPARE(edit.family(), QStringLiteral("Tahoma"));
    QCOMPARE(edit.pixelSize(), 13);
    QCOMPARE(Get(ControlId::RecvGroup)->font().weight(), QFont::Bold);
    QCOMPARE(Get(ControlId::TitleLabel)->font().pixelSize(), 16);
    if (QFile::exists(QStringLiteral("/usr/share/wine/fonts/tahoma.ttf")))
      QCOMPARE(QFontInfo(edit).family(), QStringLiteral("Tahoma"));
    QCOMPARE(Get(ControlId::TitleLabel)->palette().color(QPalette::WindowText), QColor(0, 0, 255));
  }

  // The layout table's positions stay; the edits' inner margins and the
  // group frames are chosen so that a five-digit port shows whole and no
  // frame line crosses a control.
  void everyValueFitsAndNoFrameLineCrossesAControl() {
    Get(ControlId::CancelButton)->setFocus();  // no caret in the picture
    for (ControlId id : {ControlId::RecvPortEdit, ControlId::SendPortEdit}) {
      auto* edit = Get<QLineEdit>(id);
      edit->setText(QStringLiteral("65535"));
      QImage whole(200, 40, QImage::Format_RGB32);
      whole.fill(Qt::white);
      QPainter painter(&whole);
      painter.setFont(edit->font());
      painter.drawText(20, 25, edit->text());
      painter.end();
      const QImage shown = edit->grab().toImage();
      // A scrolled or cut text shows other columns of ink than the whole text.
      QVERIFY2(InkColumns(shown, shown.rect().adjusted(1, 1, -1, -1)) == InkColumns(whole, whole.rect()),
               qPrintable(edit->objectName()));
    }
    for (const auto& group : kControls) {
      if (group.kind != ControlKind::GroupBox) continue;
      auto* box = static_cast<GroupFrame*>(form_->Control(group.id));
      const QRect frame = box->FrameRect().translated(box->pos());
      const QRect inside = frame.adjusted(2, 2, -2, -2);  // an etched line is two pixels wide
      for (const auto& spec : kControls) {
        const QRect r = form_->Control(spec.id)->geometry();
        if (spec.kind == ControlKind::GroupBox || !r.intersects(frame)) continue;
        QVERIFY2(inside.contains(r), qPrintable(box->objectName() + " crosses " + form_->Control(spec.id)->objectName()));
      }
    }
  }

  void tabOrderSelectAllInertKeysAndTheCloseBox() {
    QCOMPARE(Focused(), Get(ControlId::RecvPortEdit));
    Get<QLineEdit>(ControlId::SendHostEdit)->setText(QStringLiteral("backend.example"));
    std::vector<QWidget*> expected;
    bool after_port = false;
    for (const auto& spec : kControls) {
      if (after_port && IsTabStop(spec.kind)) expected.push_back(form_->Control(spec.id));
      after_port = after_port || spec.id == ControlId::RecvPortEdit;
    }
    expected.push_back(Get(ControlId::RecvPortEdit));  // and round again
    for (QWidget* next : expected) {
      QTest::keyClick(Focused(), Qt::Key_Tab);
      QVERIFY2(Focused() == next, qPrintable(Focused() ? Focused()->objectName() : QStringLiteral("none")));
      if (next == Get(ControlId::SendHostEdit))
        QCOMPARE(Get<QLineEdit>(ControlId::SendHostEdit)->selectedText(), QStringLiteral("backend.example"));
    }
    QCOMPARE(Get(ControlId::RecvHostInput)->focusPolicy(), Qt::NoFocus);
    for (QLineEdit* octet : Get(ControlId::RelayIpInput)->findChildren<QLineEdit*>())
      QVERIFY(!(octet->focusPolicy() & Qt::TabFocus));

    for (ControlId id : {ControlId::RecvPortEdit, ControlId::SaveButton, ControlId::CancelButton,
                         ControlId::DomainList, ControlId::RblCheck}) {
      form_->Control(id)->setFocus(Qt::OtherFocusReason);
      for (int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) QTest::keyClick(Focused(), Qt::Key(key));
    }
    QVERIFY(form_->isVisible());
    QVERIFY(boxes_.isEmpty());
    QVERIFY(form_->close());  // the close box: the database closed, nothing saved
    QVERIFY(!form_->Logic().DatabaseOpen());
    QVERIFY(!RegistryWritten());
  }

  void clicksReachTheirHandlersAndMessageBoxesAreAnswered() {
    Get<QLineEdit>(ControlId::DomainEdit)->setText(QStringLiteral("click.example"));
    QTest::mouseClick(Get(ControlId::DomainAddButton), Qt::LeftButton);
    auto* domains = Get<QListWidget>(ControlId::DomainList);
    QCOMPARE(domains->count(), 1);
    QCOMPARE(domains->item(0)->text(), QStringLiteral("@click.example"));

    auto* relay_input = static_cast<IpAddressInput*>(form_->Control(ControlId::RelayIpInput));
    QTest::mouseClick(relay_input->Field(0), Qt::LeftButton);
    QTest::keyClick(relay_input->Field(0), Qt::Key_A, Qt::ControlModifier);
    // Three digits or a dot move on to the next field; each key goes where the focus is.
    for (char c : std::string("192" "0.2.9")) QTest::keyClick(Focused(), c);
    QTest::mouseClick(Get(ControlId::RelayAddButton), Qt::LeftButton);
    QCOMPARE(Get<QListWidget>(ControlId::RelayList)->item(0)->text(), QStringLiteral("192.0.2.9"));
    QCOMPARE(relay_input->Text(), std::string("0.0.0.0"));

    const QRect first = domains->visualItemRect(domains->item(0));  // select by a click, then remove
    QTest::mouseClick(domains->viewport(), Qt::LeftButton, {}, first.center());
    QTest::mouseClick(Get(ControlId::DomainRemoveButton), Qt::LeftButton);
    QCOMPARE(domains->count(), 0);

    QTest::mouseClick(Get(ControlId::SaveButton), Qt::LeftButton);  // no domain left
    QCOMPARE(boxes_, QStringList{"Brenvik: You need at least one receive domain! 1"});

    QTest::mouseClick(Get(ControlId::InstallButton), Qt::LeftButton);
    QCOMPARE(runner_.runs.size(), std::size_t{1});
    QCOMPARE(boxes_.size(), 2);
    QCOMPARE(boxes_[1], QStringLiteral("Brenvik: Service installed succesfully. \nPlease change the servicestart "
                                       "to automatic\nand let the service start after save and end!\n"
                                       " [icon 1] [owned] 1"));
    QTest::mouseClick(Get(ControlId::UninstallButton), Qt::LeftButton);
    QCOMPARE(runner_.runs.size(), std::size_t{3});
    QVERIFY(Get(ControlId::UninstallButton)->isEnabled());
    QVERIFY(!Get<QCheckBox>(ControlId::RestartCheck)->isChecked());

    QTest::mouseClick(Get(ControlId::CancelButton), Qt::LeftButton);
    QVERIFY(!form_->isVisible());
    QVERIFY(!form_->Logic().DatabaseOpen());
  }

  void ipAddressInputKeepsWhatItCannotShow() {
    IpAddressInput input;
    input.SetText("10.20.30.40");
    QCOMPARE(input.Field(3)->text(), QStringLiteral("40"));
    for (int i = 0; i < 4; ++i) input.Field(i)->clear();
    input.Field(1)->setText(QStringLiteral("7"));
    QCOMPARE(input.Text(), std::string("0.7.0.0"));
    input.SetText("localhost");
    QCOMPARE(input.Field(0)->text(), QString());
    QCOMPARE(input.Text(), std::string("localhost"));
    QTest::keyClicks(input.Field(0), QStringLiteral("127"));
    QCOMPARE(input.Text(), std::string("127.0.0.0"));
  }

  // Typed as everyone types an address: the "." after three digits only
  // confirms the move; Backspace in an empty field goes back; a pasted
  // dotted address fills all four fields.
  void ipAddressInputStoresWhatIsTyped() {
    auto* input = static_cast<IpAddressInput*>(form_->Control(ControlId::RelayIpInput));
    const struct {
      const char* keys;  // '\b' is Backspace
      const char* text;
    } cases[] = {
        {"192.168.1.10", "192.168.1.10"}, {"127.0.0.2", "127.0.0.2"}, {"10.2\b\b1.5", "101.5.0.0"},
        {"1..2", "1.0.2.0"}, {"255.255.255.255.", "255.255.255.255"},
    };
    for (const auto& c : cases) {
      input->SetText("");
      QTest::mouseClick(input->Field(0), Qt::LeftButton);
      for (const char* k = c.keys; *k != '\0'; ++k)
        QTest::keyClick(Focused(), *k == '\b' ? Qt::Key_Backspace : Qt::Key(*k));
      QCOMPARE(input->Text(), std::string(c.text));
    }
    QTest::mouseClick(Get(ControlId::RelayAddButton), Qt::LeftButton);
    QCOMPARE(Get<QListWidget>(ControlId::RelayList)->item(0)->text(), QStringLiteral("255.255.255.255"));

    QGuiApplication::clipboard()->setText(QStringLiteral(" 192.168.1.10 "));
    QTest::mouseClick(input->Field(1), Qt::LeftButton);
    QTest::keySequence(Focused(), QKeySequence::Paste);
    QCOMPARE(input->Text(), std::string("192.168.1.10"));
    QVERIFY(boxes_.isEmpty());

    // Over 255: the field holds 255 and a message says what is allowed.
    auto* recv = static_cast<IpAddressInput*>(form_->Control(ControlId::RecvHostInput));
    recv->SetText("");
    QTest::mouseClick(recv->Field(0), Qt::LeftButton);
    QTest::keyClicks(Focused(), QStringLiteral("999"));
    QCOMPARE(recv->Field(0)->text(), QStringLiteral("255"));
    QCOMPARE(boxes_, QStringList{"Brenvik: 999 is not a valid entry. The value must lie between 0 and 255."
                                 " [icon 2] [owned] 1"});
  }

  // After a remove nothing is selected, so a second click removes nothing.
  void removeLeavesNoEntrySelected() {
    auto* domains = Get<QListWidget>(ControlId::DomainList);
    for (const char* name : {"a.example", "b.example", "c.example"}) {
      Get<QLineEdit>(ControlId::DomainEdit)->setText(QString::fromLatin1(name));
      QTest::mouseClick(Get(ControlId::DomainAddButton), Qt::LeftButton);
    }
    QTest::mouseClick(domains->viewport(), Qt::LeftButton, {}, domains->visualItemRect(domains->item(1)).center());
    QCOMPARE(domains->selectedItems().size(), 1);
    for (int click = 0; click < 2; ++click) QTest::mouseClick(Get(ControlId::DomainRemoveButton), Qt::LeftButton);
    QCOMPARE(domains->count(), 2);
    QVERIFY(domains->selectedItems().isEmpty());
    QCOMPARE(domains->item(1)->text(), QStringLiteral("@c.example"));
    QCOMPARE(test::Sql(machine_->Database(), "SELECT what FROM SpamSystem ORDER BY what;"),
             (std::vector<std::string>{"@a.example", "@c.example"}));
  }
};

QTEST_MAIN(MainFormTest)
#include "main_form_test.moc"
