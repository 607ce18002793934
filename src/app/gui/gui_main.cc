// quillavor-maker-gui: the window front end. Creates the one main window and
// runs the event loop until it is closed.
#include <QApplication>
#include <QMessageBox>
#include <QProgressBar>
#include <QSplitter>
#include <QTimer>
#include <exception>
#include <memory>

#include "app/gui/main_window.h"

namespace {

using quillavor::gui::TForm1;

// The value after `option` in the arguments, or an empty string.
QString OptionValue(const QStringList& args, const QString& option, int which = 0) {
  const qsizetype at = args.indexOf(option);
  return at > 0 && at + 1 + which < args.size() ? args[at + 1 + which] : QString();
}

// --screenshot-run DURING AFTER: presses Create once the window is shown,
// saves the window while the first module is compressed and again once the
// run has ended, then ends. The log is dragged open to show its rows.
int ScreenshotRun(TForm1& window, const QString& during, const QString& after) {
  window.resize(TForm1::kClientSize.width(), 560);
  window.splitter->setSizes({TForm1::kLogTop, 560 - TForm1::kLogTop});
  bool duringSaved = false;
  bool afterSaved = false;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (!duringSaved && window.pbRun->text().endsWith(QStringLiteral(": compression"))) {
      duringSaved = window.grab().save(during);
    }
  });
  QObject::connect(&window, &TForm1::runFinished, [&] {
    QTimer::singleShot(300, [&] {
      afterSaved = window.grab().save(after);
      QApplication::quit();
    });
  });
  QTimer::singleShot(500, [&] {
    watch.start(20);
    window.btCreateClick();
  });
  QApplication::exec();
  return duringSaved && afterSaved ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quillavor Maker"));

  // --screenshot FILE: save a picture of the window once it is shown, then end
  // (used to take the pictures in the documentation).
  const QStringList args = QApplication::arguments();
  const QString screenshotFile = OptionValue(args, QStringLiteral("--screenshot"));
  const QString runDuring = OptionValue(args, QStringLiteral("--screenshot-run"));
  const QString runAfter = OptionValue(args, QStringLiteral("--screenshot-run"), 1);

  std::unique_ptr<TForm1> window;
  try {
    window = std::make_unique<TForm1>();
  } catch (const std::exception& e) {
    // A settings file that exists but cannot be read ends start-up.
    QMessageBox::critical(nullptr, QStringLiteral("Quillavor Maker"), QString::fromUtf8(e.what()));
    return 1;
  }
  window->show();

  if (!runAfter.isEmpty()) return ScreenshotRun(*window, runDuring, runAfter);
  if (!screenshotFile.isEmpty()) {
    int status = 1;
    QTimer::singleShot(500, [&] {
      if (window->grab().save(screenshotFile)) status = 0;
      QApplication::quit();
    });
    QApplication::exec();
    return status;
  }
  return QApplication::exec();
}
