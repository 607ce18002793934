#include "app/gui/build_worker.h"

#include <exception>
#include <optional>
#include <utility>

#include "app/build_driver.h"
#include "app/gui/run_report.h"

namespace quillavor::gui {

namespace {

QString ToQString(std::u16string_view s) {
  return QString(reinterpret_cast<const QChar*>(s.data()), static_cast<qsizetype>(s.size()));
}

// Thrown out of LineStarted to end a run that the operator stopped, before
// the next line begins: no module is under way at that point.
struct StopRun {};

}  // namespace

// Runs on the worker's thread: everything the driver reports is turned into
// a signal, nothing here touches a widget.
class BuildWorker::Observer : public DriverObserver {
 public:
  explicit Observer(BuildWorker& worker) : worker_(worker) {}

  void Phase(std::u16string_view text) override { emit worker_.phase(ToQString(text)); }

  void LineStarted(std::u16string_view piece) override {
    if (worker_.stopRequested_) throw StopRun{};
    std::optional<ModuleLine> line = ParseModuleLine(piece);
    sourcePath_ = line ? line->sourcePath : std::u16string();
    emit worker_.lineStarted(ToQString(piece));
  }

  void LineFinished(std::u16string_view piece, LineOutcome outcome,
                    std::u16string_view modulePath) override {
    emit worker_.lineFinished(ToQString(piece), static_cast<int>(outcome), ToQString(modulePath));
  }

  bool RawWanted() override { return worker_.rawWanted_; }

  // The one place where diagnostics enter the window: each diagnostic of a
  // line, field by field, before the line is finished (or fails).
  void LineReported(const LineReport& report) override {
    for (const Diagnostic& d : report.diagnostics) {
      emit worker_.diagnostic(QString::fromStdString(d.file), static_cast<qint64>(d.line),
                              QString::fromStdString(d.message),
                              QString::fromStdString(std::string(DiagnosticCodeName(d.code))));
    }
  }

  void StageDone(Stage stage, std::chrono::nanoseconds) override {
    emit worker_.stageDone(static_cast<int>(stage));
  }

 private:
  BuildWorker& worker_;
  std::u16string sourcePath_;  // of the line being built
};

BuildWorker::BuildWorker(QObject* parent) : QObject(parent) {}

BuildWorker::~BuildWorker() {
  stopRequested_ = true;
  if (thread_.joinable()) thread_.join();
}

bool BuildWorker::Start(std::u16string booksList, BuildOptions options) {
  if (running_) return false;
  if (thread_.joinable()) thread_.join();  // the last run has ended
  running_ = true;
  stopRequested_ = false;
  thread_ = std::thread(&BuildWorker::Run, this, std::move(booksList), std::move(options));
  return true;
}

void BuildWorker::Run(std::u16string booksList, BuildOptions options) {
  bool stopped = false;
  bool failed = false;
  QString error;
  QString cause;
  try {
    Observer observer(*this);
    RunBuild(booksList, observer, options);
  } catch (const StopRun&) {
    stopped = true;
  } catch (const BuildError& e) {
    failed = true;
    error = QString::fromUtf8(e.what());
    cause = QString::fromUtf8(e.cause());
  } catch (const std::exception& e) {
    failed = true;
    error = cause = QString::fromUtf8(e.what());
  } catch (...) {
    failed = true;
    error = cause = QStringLiteral("an unknown error ended the run");
  }
  running_ = false;
  emit ended(stopped, failed, error, cause);
}

}  // namespace quillavor::gui
