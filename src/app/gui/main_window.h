// The main window: the books list the operator edits, the Create button that
// runs the build driver over it, the raw-file check box, the progress label and
// the link to the manual. The window only moves text between its controls and
// the library; everything about books lists and modules lives in the library.
#pragma once

#include <QLabel>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

class QAction;
class QCheckBox;
class QPlainTextEdit;
class QPushButton;

namespace quillavor::gui {

// A label that reports clicks and double-clicks, for the manual link. A text
// wider than the label is shown shortened in the middle (the full text stays
// the label's text and is its tool tip).
class ClickLabel : public QLabel {
  Q_OBJECT

 public:
  using QLabel::QLabel;

 signals:
  void clicked();
  void doubleClicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
};

// What the window asks of the desktop. Tests replace both to record the calls
// instead of starting programs or waiting on a modal message box.
struct WindowServices {
  // Opens a document with the desktop's default program; the result is not
  // examined. Default: QDesktopServices::openUrl on the local file.
  std::function<void(const QString& path)> openDocument;
  // Shows an error that ended a run; returns when the operator has read it.
  // Default: a modal message box over the window.
  std::function<void(QWidget* window, const QString& message)> showError;
  // Shows the warnings of a run (one per line) once it has ended. Default: a
  // modal message box over the window; when empty, warnings are not shown.
  std::function<void(QWidget* window, const QString& warnings)> showWarnings;
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
  ~TForm1() override;
  TForm1(const TForm1&) = delete;  // a window is never copied
  TForm1& operator=(const TForm1&) = delete;

  // The client area the layout is drawn for; anchors measure from it.
  static constexpr QSize kClientSize{841, 344};

  // The controls, named as in the layout; owned by the window.
  QPushButton* btCreate;
  QLabel* Label2;
  QPlainTextEdit* Memo2;
  QLabel* BkPart;
  QCheckBox* cbRaw;
  ClickLabel* Label3;
  QLabel* Label4;
  QPushButton* Button1;
  // "Preview", in the books list's context menu: writes the preview of the
  // line's module and opens it.
  QAction* actPreview;

  // Replaces the whole books list, keeping the operator's scroll position and
  // (as far as the new text reaches) the cursor.
  void SetBooksListText(const QString& text);

 public slots:
  // Builds every module of the books list, top to bottom.
  void btCreateClick();
  // Opens the manual named by Label3.
  void Label3Click();
  // Writes the preview of the module built from the books-list line at the
  // cursor and opens its first page; an error (no module line, no module
  // file yet) is shown instead. Does nothing while a run goes on.
  void PreviewClick();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  enum Anchor { kLeft = 1, kTop = 2, kRight = 4, kBottom = 8 };
  struct Anchored {
    QWidget* control;
    QRect designed;  // geometry in the designed client area
    int anchors;
  };

  void Place(QWidget* control, QRect designed, int anchors);
  // A caption label at least as wide as its text, as labels size themselves
  // to their caption in the layout.
  void PlaceCaption(QLabel* label, QRect designed, int anchors);
  void LoadBooksList();

  WindowServices services_;
  std::vector<Anchored> anchored_;
};

// The process-wide main window: set while the one made by the application
// lives, null otherwise.
extern TForm1* Form1;

}  // namespace quillavor::gui
