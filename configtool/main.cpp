// brenvikcfg: the configuration tool. Start it with the installation folder
// as the current directory; it works on spam.mdb and brenvik found there.
#include <QApplication>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <cstdlib>

#include "configtool/main_form.h"

namespace {

// Developer aid: BRENVIK_SCREENSHOT=<file.png> saves the shown form as the
// window system draws it, then ends the tool.
constexpr const char* kScreenshotVariable = "BRENVIK_SCREENSHOT";
constexpr int kScreenshotPolls = 200;  // 50 ms apart: at most 10 s
constexpr int kScreenshotPollMs = 50;

void ScreenshotWhenExposed(brenvik::MainForm& form, QString path, int polls_left, int& exit_code) {
  QWindow* window = form.windowHandle();
  if ((window == nullptr || !window->isExposed()) && polls_left > 0) {
    QTimer::singleShot(kScreenshotPollMs, &form, [&form, path, polls_left, &exit_code] {
      ScreenshotWhenExposed(form, path, polls_left - 1, exit_code);
    });
    return;
  }
  form.repaint();
  // One more turn of the event loop lets the window system show what was painted.
  QTimer::singleShot(kScreenshotPollMs, &form, [&form, path, &exit_code] {
    QWindow* shown = form.windowHandle();
    QPixmap shot;
    if (QScreen* screen = form.screen(); screen != nullptr && shown != nullptr && shown->isExposed())
      shot = screen->grabWindow(form.winId());
    if (shot.isNull()) shot = form.grab();
    exit_code = shot.save(path, "PNG") ? 0 : 1;
    form.close();
  });
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  brenvik::MainForm form(brenvik::ToolEnvironment{});
  form.show();

  int screenshot_exit = 0;
  const char* screenshot = std::getenv(kScreenshotVariable);
  if (screenshot != nullptr && *screenshot != '\0') {
    const QString path = QString::fromLocal8Bit(screenshot);
    QTimer::singleShot(0, &form, [&form, path, &screenshot_exit] {
      ScreenshotWhenExposed(form, path, kScreenshotPolls, screenshot_exit);
    });
  }
  const int code = app.exec();
  return code != 0 ? code : screenshot_exit;
}
