// quillavor-maker-gui: the window front end. Creates the one main window and
// runs the event loop until it is closed.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <exception>
#include <memory>

#include "app/gui/main_window.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quillavor Maker"));

  // --screenshot FILE: save a picture of the window once it is shown, then end
  // (used to take the picture in the documentation).
  const QStringList args = QApplication::arguments();
  const qsizetype shot = args.indexOf(QStringLiteral("--screenshot"));
  const QString screenshotFile = shot > 0 && shot + 1 < args.size() ? args[shot + 1] : QString();

  std::unique_ptr<quillavor::gui::TForm1> window;
  try {
    window = std::make_unique<quillavor::gui::TForm1>();
  } catch (const std::exception& e) {
    // A settings file that exists but cannot be read ends start-up.
    QMessageBox::critical(nullptr, QStringLiteral("Quillavor Maker"), QString::fromUtf8(e.what()));
    return 1;
  }
  window->show();

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
