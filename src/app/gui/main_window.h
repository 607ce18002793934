// The main window: the books list the operator edits, the Create button that
// starts a build run over it (on a worker thread) and the Stop button that ends
// one, the raw-file check box, the progress label and bar, the run log and the
// link to the manual. The window only moves text between its controls and the
// library; everything about books lists and modules lives in the library.
#pragma once

#include <QLabel>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/gui/run_report.h"

class QAction;
class QCheckBox;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSplitter;
class QTreeWidget;
class QTreeWidgetItem;

namespace quillavor::gui {

class BuildWorker;

// A label whose text, when wider than the label, is shown shortened in the
// middle; the full text stays the label's text.
class ElidedLabel : public QLabel {
  Q_OBJECT

 public:
  using QLabel::QLabel;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// A label that reports clicks and double-clicks, for the manual link.
class ClickLabel : public ElidedLabel {
  Q_OBJECT

 public:
  using ElidedLabel::ElidedLabel;

 signals:
  void clicked();
  void doubleClicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
};

// The area the designed layout is drawn in: its controls keep their designed
// geometry and follow a resize by their anchors.
class AnchoredArea : public QWidget {
  Q_OBJECT

 public:
  enum Anchor { kLeft = 1, kTop = 2, kRight = 4, kBottom = 8 };

  AnchoredArea(QSize designedSize, QWidget* parent);

  // Gives `control` its designed geometry and keeps it there by `anchors`.
  void Place(QWidget* control, QRect designed, int anchors);
  // The smallest size at which every control is whole and inside the area:
  // stretched controls keep a usable size, moving ones stay clear of them.
  QSize MinimumForControls() const;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  struct Anchored {
    QWidget* control;
    QRect designed;  // geometry in the designed area
    int anchors;
  };
  QSize designedSize_;
  std::vector<Anchored> anchored_;
};

// What the window asks of the desktop. Tests replace both to record the calls
// instead of starting programs or waiting on a modal message box.
struct WindowServices {
  // Opens a document with the desktop's default program; the result is not
  // examined. Default: QDesktopServices::openUrl on the local file.
  std::function<void(const QString& path)> openDocument;
  // Shows an error (one that ended a run, a document that is not there);
  // returns when the operator has read it. Default: a modal message box over
  // the window.
  std::function<void(QWidget* window, const QString& message)> showError;
  // The guide installed with the program, linked when the operator's own
  // manual does not exist. Default: GUIDE.md in the documentation folder of
  // the installation the program runs from; empty when there is none (as in a
  // build folder).
  QString installedGuide;

  static WindowServices Desktop();
};

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  // Builds the controls, loads the books list from the settings file (or the
  // initialisation line when there is none) and sets the manual link. Throws
  // IoError when the settings file exists but cannot be read.
  explicit TForm1(WindowServices services = WindowServices::Desktop(), QWidget* parent = nullptr);
  // A run that goes on is stopped after its current module and waited for.
  ~TForm1() override;
  TForm1(const TForm1&) = delete;  // a window is never copied
  TForm1& operator=(const TForm1&) = delete;

  // The client area the layout is drawn for.
  static constexpr QSize kClientSize{841, 344};
  // The controls of the layout lie above this height (the Create row ends
  // at 255); the run log takes the room below it. Anchors measure from the
  // area above.
  static constexpr int kLogTop = 262;

  // The controls, named as in the layout; owned by the window.
  QPushButton* btCreate;
  QLabel* Label2;
  QPlainTextEdit* Memo2;
  ElidedLabel* BkPart;
  QCheckBox* cbRaw;
  ClickLabel* Label3;
  QLabel* Label4;
  QPushButton* Button1;
  // "Preview", in the books list's context menu: writes the preview of the
  // line's module and opens it.
  QAction* actPreview;
  // "Stop": ends a run after the module being built. Off while no run goes on.
  QPushButton* btStop;
  // The run's progress: lines done of lines to build, and within a line the
  // stages of its module.
  QProgressBar* pbRun;
  // The run log: a row per books-list line (outcome, file, line text) with a
  // row per diagnostic under it (file, line, message, code). Double-clicking
  // a row opens its file.
  QTreeWidget* tvLog;
  // The designed area (above the run log), the log's frame, and the splitter
  // between the two: dragging it gives the log more room.
  AnchoredArea* client;
  QWidget* logPane;
  QSplitter* splitter;

  // Replaces the whole books list, keeping the operator's scroll position and
  // (as far as the new text reaches) the cursor.
  void SetBooksListText(const QString& text);
  // True while a run goes on.
  bool Running() const;
  // What the last (or current) run reported.
  const RunReport& report() const { return report_; }

 signals:
  // A run has ended and everything it reported is shown (after the error box,
  // when there was one).
  void runFinished();

 public slots:
  // Starts a build of every module of the books list, top to bottom, on the
  // worker thread; does nothing while a run goes on.
  void btCreateClick();
  // Asks the run to end after its current module.
  void btStopClick();
  // Opens the manual named by Label3; a missing manual is shown as an error.
  void Label3Click();
  // Writes the preview of the module built from the books-list line at the
  // cursor and opens its first page; an error (no module line, no module
  // file yet) is shown instead. Does nothing while a run goes on.
  void PreviewClick();

 protected:
  // Closing during a run stops it; the window closes once it has ended.
  void closeEvent(QCloseEvent* event) override;

 private:
  // A caption label at least as wide as its text, as labels size themselves
  // to their caption in the layout.
  void PlaceCaption(QLabel* label, QRect designed, int anchors);
  void LoadBooksList();
  void ShowPhase(const QString& text);
  void ShowProgress();
  // Opens `path` through the opener, or names it in an error box when no
  // file is there.
  void OpenExisting(const QString& path, const QString& what);

  // Run events, delivered on the window's thread.
  void OnLineStarted(const QString& piece);
  void OnStageDone(int stage);
  void OnDiagnostic(const QString& file, qint64 line, const QString& message, const QString& code);
  void OnLineFinished(const QString& piece, int outcome, const QString& modulePath);
  void OnEnded(bool stopped, bool failed, const QString& error, const QString& cause);
  // The log row of the report's last line, made when missing, and brought
  // up to date.
  QTreeWidgetItem* ShowLogLine();
  void AddLogDiagnostic(QTreeWidgetItem* parent, const LogDiagnostic& d);

  WindowServices services_;
  std::unique_ptr<BuildWorker> worker_;
  RunReport report_;
  std::u16string marked_;  // the books list as marked for the line being built
  int linesToBuild_ = 0;
  int linesDone_ = 0;
  int stagesDone_ = 0;  // of the line being built
  bool closeAfterRun_ = false;
};

// The process-wide main window: set while the one made by the application
// lives, null otherwise.
extern TForm1* Form1;

}  // namespace quillavor::gui
