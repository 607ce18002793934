// Runs the build driver over a books list on a thread of its own, so that the
// window keeps repainting and taking input during a run. What the run reports
// comes back as Qt signals, delivered queued on the thread that owns the
// worker (the window's); the worker owns its thread and joins it.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <string>
#include <thread>

#include "model/build_options.h"

namespace quillavor::gui {

class BuildWorker : public QObject {
  Q_OBJECT

 public:
  explicit BuildWorker(QObject* parent = nullptr);
  // Asks a run that goes on to stop and waits until it has (after its
  // current module).
  ~BuildWorker() override;
  BuildWorker(const BuildWorker&) = delete;  // owns a thread
  BuildWorker& operator=(const BuildWorker&) = delete;

  // Starts one run over `booksList`; false (and nothing started) while a
  // run goes on. `ended` is always signalled once for a started run.
  bool Start(std::u16string booksList, BuildOptions options = {});
  bool running() const { return running_; }

  // The run ends before it starts its next line: the module being built is
  // completed and written, no later line is looked at.
  void RequestStop() { stopRequested_ = true; }
  // Whether raw files are wanted; read by the run right before each module
  // is written.
  void SetRawWanted(bool wanted) { rawWanted_ = wanted; }

 signals:
  void phase(const QString& text);  // as the system's own text ("&&" for "&")
  void lineStarted(const QString& piece);
  void stageDone(int stage);  // a quillavor::Stage of the current module
  // One diagnostic of the line being built; `line` 0 when it names none.
  void diagnostic(const QString& file, qint64 line, const QString& message, const QString& code);
  void lineFinished(const QString& piece, int outcome, const QString& modulePath);
  // The run is over: stopped by RequestStop, or failed with `error` (the
  // whole message: line, source, cause) and its `cause` alone.
  void ended(bool stopped, bool failed, const QString& error, const QString& cause);

 private:
  class Observer;
  void Run(std::u16string booksList, BuildOptions options);

  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> rawWanted_{false};
};

}  // namespace quillavor::gui
