#include "app/gui/main_window.h"

#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QStyle>
#include <QTextCursor>
#include <QUrl>
#include <algorithm>
#include <exception>
#include <memory>

#include "app/build_driver.h"
#include "app/gui/line_marker.h"
#include "app/preview.h"
#include "model/progress.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace quillavor::gui {

TForm1* Form1 = nullptr;

namespace {

// The system's own strings of the layout. A doubled "&&" stands for one "&";
// the window shows the single form.
constexpr std::u16string_view kCaption = u"Quillavor Maker";
constexpr std::u16string_view kBooksCaption =
    u"Books: Name | Abbr | Path&&Filename [ | spanish,windowspage ]";
constexpr std::u16string_view kRawCaption = u"Also create .raw file(s) (uncompressed binary)";

QString ToQString(std::u16string_view s) {
  return QString(reinterpret_cast<const QChar*>(s.data()), static_cast<qsizetype>(s.size()));
}

// Shows a run in the window: phases in BkPart, the line in progress marked in
// the books list, and the event queue pumped at each step so that the window
// repaints and the operator can scroll and edit while a run goes on.
class WindowObserver : public DriverObserver {
 public:
  explicit WindowObserver(TForm1& window) : window_(window) {}

  void Phase(std::u16string_view text) override {
    window_.BkPart->setText(ToQString(ShownText(text)));
    window_.BkPart->repaint();
    Pump();
  }
  void Pump() override { QCoreApplication::processEvents(); }

  void LineStarted(std::u16string_view piece) override {
    piece_ = piece;
    // The marked text is kept: unmarking writes it back without any "-->",
    // whatever the operator typed meanwhile.
    marked_ = MarkLine(window_.Memo2->toPlainText().toStdU16String(), piece);
    ShowBooksList(marked_);
  }
  void LineFinished(std::u16string_view, LineOutcome, std::u16string_view) override {
    ShowBooksList(UnmarkLines(marked_));
  }

  // Read at the time of writing: ticking the box during a run counts.
  bool RawWanted() override { return window_.cbRaw->isChecked(); }

  // Kept for the end of the run, each with the books-list line it belongs to:
  // "LINE: line N: MESSAGE [CODE]" (the line of the file the diagnostic names).
  void LineReported(const LineReport& report) override {
    for (const Diagnostic& d : report.diagnostics) {
      std::string where = d.line > 0 ? "line " + std::to_string(d.line) + ": " : std::string();
      warnings_ += report.piece + u": " +
                   text::DecodeUtf8(where + d.message + " [" +
                                    std::string(DiagnosticCodeName(d.code)) + "]") +
                   u"\n";
    }
  }
  const std::u16string& warnings() const { return warnings_; }

 private:
  void ShowBooksList(const std::u16string& text) {
    window_.SetBooksListText(ToQString(text));
    window_.Memo2->viewport()->repaint();
    Pump();
  }

  TForm1& window_;
  std::u16string marked_;
  std::u16string piece_;
  std::u16string warnings_;
};

}  // namespace

void ClickLabel::mouseReleaseEvent(QMouseEvent* event) {
  QLabel::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
    emit clicked();
  }
}

void ClickLabel::mouseDoubleClickEvent(QMouseEvent* event) {
  QLabel::mouseDoubleClickEvent(event);
  if (event->button() == Qt::LeftButton) emit doubleClicked();
}

void ClickLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect area = contentsRect();
  const QString shown = fontMetrics().elidedText(text(), Qt::ElideMiddle, area.width());
  style()->drawItemText(&painter, area, static_cast<int>(alignment()), palette(), isEnabled(),
                        shown, foregroundRole());
}

WindowServices WindowServices::Desktop() {
  WindowServices services;
  services.openDocument = [](const QString& path) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
  };
  services.showError = [](QWidget* window, const QString& message) {
    QMessageBox::critical(window, ToQString(kCaption), message);
  };
  services.showWarnings = [](QWidget* window, const QString& warnings) {
    QMessageBox::warning(window, ToQString(kCaption), warnings);
  };
  return services;
}

TForm1::TForm1(WindowServices services, QWidget* parent)
    : QWidget(parent),
      btCreate(new QPushButton(QStringLiteral("Create"), this)),
      Label2(new QLabel(ToQString(ShownText(kBooksCaption)), this)),
      Memo2(new QPlainTextEdit(this)),
      BkPart(new QLabel(this)),
      cbRaw(new QCheckBox(ToQString(kRawCaption), this)),
      Label3(new ClickLabel(this)),
      Label4(new QLabel(QStringLiteral("Reference:"), this)),
      Button1(new QPushButton(QStringLiteral("Open"), this)),
      actPreview(new QAction(QStringLiteral("Preview"), this)),
      services_(std::move(services)) {
  setWindowTitle(ToQString(kCaption));
  btCreate->setObjectName(QStringLiteral("btCreate"));
  Label2->setObjectName(QStringLiteral("Label2"));
  Memo2->setObjectName(QStringLiteral("Memo2"));
  BkPart->setObjectName(QStringLiteral("BkPart"));
  cbRaw->setObjectName(QStringLiteral("cbRaw"));
  Label3->setObjectName(QStringLiteral("Label3"));
  Label4->setObjectName(QStringLiteral("Label4"));
  Button1->setObjectName(QStringLiteral("Button1"));

  // Labels show their text as it is: no "&" mnemonics, no rich text.
  for (QLabel* label : {Label2, BkPart, static_cast<QLabel*>(Label3), Label4}) {
    label->setTextFormat(Qt::PlainText);
  }
  Memo2->setTabChangesFocus(true);  // Tab moves on, as in the other controls
  QFont linkFont = Label3->font();
  linkFont.setUnderline(true);
  Label3->setFont(linkFont);
  Label3->setCursor(Qt::PointingHandCursor);

  // Positions and sizes of the layout; the Create button keeps the style's
  // default size. "Reference:" is placed 80 units left of the manual link it
  // captions.
  const QRect label3Rect(88, -2, 377, 17);
  Place(btCreate, QRect(QPoint(8, 225), btCreate->sizeHint()), kLeft | kBottom);
  PlaceCaption(Label2, QRect(8, 23, 337, 17), kLeft | kTop);
  Place(Memo2, QRect(8, 40, 825, 179), kLeft | kTop | kRight | kBottom);
  Place(BkPart, QRect(353, 23, 480, 17), kLeft | kTop | kRight);
  Place(cbRaw, QRect(120, 227, 361, 19), kLeft | kBottom);
  Place(Label3, label3Rect, kLeft | kTop);
  PlaceCaption(Label4, QRect(label3Rect.topLeft() + QPoint(-80, 0), QSize(73, 17)), kLeft | kTop);
  Place(Button1, QRect(480, 0, 49, 15), kLeft | kTop);
  resize(kClientSize);

  // Tab order of the focusable controls: btCreate, Memo2, cbRaw, Button1.
  setTabOrder(btCreate, Memo2);
  setTabOrder(Memo2, cbRaw);
  setTabOrder(cbRaw, Button1);

  connect(btCreate, &QPushButton::clicked, this, &TForm1::btCreateClick);
  connect(Label3, &ClickLabel::clicked, this, &TForm1::Label3Click);
  connect(Label3, &ClickLabel::doubleClicked, this, &TForm1::Label3Click);
  connect(Button1, &QPushButton::clicked, this, &TForm1::Label3Click);

  // The books list's own context menu, with "Preview" for the line clicked on.
  connect(actPreview, &QAction::triggered, this, &TForm1::PreviewClick);
  Memo2->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(Memo2, &QPlainTextEdit::customContextMenuRequested, this, [this](const QPoint& at) {
    if (!Memo2->textCursor().hasSelection()) Memo2->setTextCursor(Memo2->cursorForPosition(at));
    std::unique_ptr<QMenu> menu(Memo2->createStandardContextMenu());
    menu->addSeparator();
    menu->addAction(actPreview);
    menu->exec(Memo2->viewport()->mapToGlobal(at));
  });

  LoadBooksList();
  Label3->setText(ToQString(paths::ManualPath()));
  Label3->setToolTip(Label3->text());
  if (Form1 == nullptr) Form1 = this;
}

TForm1::~TForm1() {
  if (Form1 == this) Form1 = nullptr;
}

void TForm1::LoadBooksList() {
  const std::u16string path = paths::SettingsFilePath();
  if (files::IsRegularFile(path)) {
    Memo2->setPlainText(ToQString(DecodeBooksList(files::ReadWholeFile(path))));
  } else {
    Memo2->setPlainText(
        QStringLiteral("Create \"%1\" to initialize on program load.").arg(ToQString(path)));
  }
}

void TForm1::SetBooksListText(const QString& text) {
  const int scroll = Memo2->verticalScrollBar()->value();
  const int cursor = Memo2->textCursor().position();
  Memo2->setPlainText(text);
  QTextCursor moved = Memo2->textCursor();
  moved.setPosition(std::min(cursor, Memo2->document()->characterCount() - 1));
  Memo2->setTextCursor(moved);
  Memo2->verticalScrollBar()->setValue(scroll);
}

void TForm1::btCreateClick() {
  if (!btCreate->isEnabled()) return;  // a run is going on
  btCreate->setEnabled(false);
  WindowObserver observer(*this);
  try {
    RunBuild(Memo2->toPlainText().toStdU16String(), observer);
  } catch (const std::exception& e) {
    // The marker stays in front of the failing line.
    services_.showError(this, QString::fromUtf8(e.what()));
  }
  if (!observer.warnings().empty() && services_.showWarnings) {
    services_.showWarnings(this, ToQString(observer.warnings()).trimmed());
  }
  btCreate->setEnabled(true);
}

void TForm1::Label3Click() { services_.openDocument(Label3->text()); }

void TForm1::PreviewClick() {
  if (!btCreate->isEnabled()) return;  // a run is going on
  try {
    const PreviewSummary summary =
        PreviewBooksListLine(Memo2->textCursor().block().text().toStdU16String());
    services_.openDocument(ToQString(summary.indexPage));
  } catch (const std::exception& e) {
    services_.showError(this, QString::fromUtf8(e.what()));
  }
}

void TForm1::Place(QWidget* control, QRect designed, int anchors) {
  control->setGeometry(designed);
  anchored_.push_back({control, designed, anchors});
}

void TForm1::PlaceCaption(QLabel* label, QRect designed, int anchors) {
  designed.setWidth(std::max(designed.width(), label->sizeHint().width()));
  Place(label, designed, anchors);
}

void TForm1::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int dw = event->size().width() - kClientSize.width();
  const int dh = event->size().height() - kClientSize.height();
  for (const Anchored& a : anchored_) {
    QRect r = a.designed;
    if ((a.anchors & kRight) != 0) {
      if ((a.anchors & kLeft) != 0) {
        r.setWidth(std::max(0, r.width() + dw));
      } else {
        r.translate(dw, 0);
      }
    }
    if ((a.anchors & kBottom) != 0) {
      if ((a.anchors & kTop) != 0) {
        r.setHeight(std::max(0, r.height() + dh));
      } else {
        r.translate(0, dh);
      }
    }
    a.control->setGeometry(r);
  }
}

}  // namespace quillavor::gui
