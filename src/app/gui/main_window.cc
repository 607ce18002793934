#include "app/gui/main_window.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollBar>
#include <QSplitter>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTextBlock>
#include <QTextCursor>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>
#include <memory>

#include "app/build_driver.h"
#include "app/gui/build_worker.h"
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

// The run log's columns.
enum LogColumn { kOutcomeColumn, kFileColumn, kLineColumn, kMessageColumn, kCodeColumn };
// Item data of a log row: the file a double-click opens.
constexpr int kFileRole = Qt::UserRole;

// Shortens texts in the middle, so that a path keeps its file name in sight.
class MiddleElidingDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    option->textElideMode = Qt::ElideMiddle;
  }
};

// Stretched controls keep at least this much of their designed size at the
// window's minimum: room for a few words, or three lines of the books list.
constexpr int kMinStretchWidth = 120;
constexpr int kMinStretchHeight = 48;

// The number of lines a run over `booksList` looks at: the non-empty pieces
// before the first stop line.
int LinesToBuild(std::u16string_view booksList) {
  int n = 0;
  for (const std::u16string& piece : SplitPieces(booksList)) {
    if (IsStopLine(piece)) break;
    if (!piece.empty()) ++n;
  }
  return n;
}

}  // namespace

void ElidedLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect area = contentsRect();
  const QString shown = fontMetrics().elidedText(text(), Qt::ElideMiddle, area.width());
  style()->drawItemText(&painter, area, static_cast<int>(alignment()), palette(), isEnabled(),
                        shown, foregroundRole());
}

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

AnchoredArea::AnchoredArea(QSize designedSize, QWidget* parent)
    : QWidget(parent), designedSize_(designedSize) {
  resize(designedSize);
}

void AnchoredArea::Place(QWidget* control, QRect designed, int anchors) {
  control->setGeometry(designed);
  anchored_.push_back({control, designed, anchors});
}

QSize AnchoredArea::MinimumForControls() const {
  int width = 0;
  int height = 0;
  for (const Anchored& a : anchored_) {
    const QRect& r = a.designed;
    const int rightMargin = designedSize_.width() - (r.x() + r.width());
    const int bottomMargin = designedSize_.height() - (r.y() + r.height());
    if ((a.anchors & kLeft) != 0 && (a.anchors & kRight) != 0) {
      width = std::max(width, r.x() + std::min(r.width(), kMinStretchWidth) + rightMargin);
    } else if ((a.anchors & kRight) != 0) {
      width = std::max(width, designedSize_.width() - r.x());
    } else {
      width = std::max(width, r.x() + r.width());
    }
    if ((a.anchors & kTop) != 0 && (a.anchors & kBottom) != 0) {
      height = std::max(height, r.y() + std::min(r.height(), kMinStretchHeight) + bottomMargin);
    } else if ((a.anchors & kBottom) != 0) {
      height = std::max(height, designedSize_.height() - r.y());
    } else {
      height = std::max(height, r.y() + r.height());
    }
  }
  return {width, height};
}

void AnchoredArea::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int dw = event->size().width() - designedSize_.width();
  const int dh = event->size().height() - designedSize_.height();
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

WindowServices WindowServices::Desktop() {
  WindowServices services;
  services.openDocument = [](const QString& path) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
  };
  services.showError = [](QWidget* window, const QString& message) {
    QMessageBox::critical(window, ToQString(kCaption), message);
  };
#ifdef QUILLAVOR_GUIDE_FROM_BINDIR
  // The guide's place relative to the program, so that an installation moved
  // to another prefix still finds it.
  const QString guide = QDir::cleanPath(QCoreApplication::applicationDirPath() +
                                        QStringLiteral("/" QUILLAVOR_GUIDE_FROM_BINDIR));
  if (QFileInfo(guide).isFile()) services.installedGuide = guide;
#endif
  return services;
}

TForm1::TForm1(WindowServices services, QWidget* parent)
    : QWidget(parent),
      client(new AnchoredArea(QSize(kClientSize.width(), kLogTop), nullptr)),
      logPane(new QWidget(nullptr)),
      splitter(new QSplitter(Qt::Vertical, this)),
      services_(std::move(services)),
      worker_(std::make_unique<BuildWorker>()) {
  btCreate = new QPushButton(QStringLiteral("Create"), client);
  Label2 = new QLabel(ToQString(ShownText(kBooksCaption)), client);
  Memo2 = new QPlainTextEdit(client);
  BkPart = new ElidedLabel(client);
  cbRaw = new QCheckBox(ToQString(kRawCaption), client);
  Label3 = new ClickLabel(client);
  Label4 = new QLabel(QStringLiteral("Reference:"), client);
  Button1 = new QPushButton(QStringLiteral("Open"), client);
  actPreview = new QAction(QStringLiteral("Preview"), this);
  btStop = new QPushButton(QStringLiteral("Stop"), client);
  pbRun = new QProgressBar(client);
  tvLog = new QTreeWidget(logPane);

  setWindowTitle(ToQString(kCaption));
  btCreate->setObjectName(QStringLiteral("btCreate"));
  Label2->setObjectName(QStringLiteral("Label2"));
  Memo2->setObjectName(QStringLiteral("Memo2"));
  BkPart->setObjectName(QStringLiteral("BkPart"));
  cbRaw->setObjectName(QStringLiteral("cbRaw"));
  Label3->setObjectName(QStringLiteral("Label3"));
  Label4->setObjectName(QStringLiteral("Label4"));
  Button1->setObjectName(QStringLiteral("Button1"));
  btStop->setObjectName(QStringLiteral("btStop"));
  pbRun->setObjectName(QStringLiteral("pbRun"));
  tvLog->setObjectName(QStringLiteral("tvLog"));

  // Labels show their text as it is: no "&" mnemonics, no rich text.
  for (QLabel* label : {Label2, static_cast<QLabel*>(BkPart), static_cast<QLabel*>(Label3), Label4}) {
    label->setTextFormat(Qt::PlainText);
  }
  Memo2->setTabChangesFocus(true);  // Tab moves on, as in the other controls
  QFont linkFont = Label3->font();
  linkFont.setUnderline(true);
  Label3->setFont(linkFont);
  Label3->setCursor(Qt::PointingHandCursor);

  // Positions and sizes of the layout; the buttons keep the style's default
  // size. "Reference:" is placed 80 units left of the manual link it
  // captions. Stop and the progress bar follow the raw check box on the
  // Create row.
  using A = AnchoredArea;
  const QRect label3Rect(88, -2, 377, 17);
  const QRect createRect(QPoint(8, 225), btCreate->sizeHint());
  client->Place(btCreate, createRect, A::kLeft | A::kBottom);
  PlaceCaption(Label2, QRect(8, 23, 337, 17), A::kLeft | A::kTop);
  client->Place(Memo2, QRect(8, 40, 825, 179), A::kLeft | A::kTop | A::kRight | A::kBottom);
  client->Place(BkPart, QRect(353, 23, 480, 17), A::kLeft | A::kTop | A::kRight);
  const QRect rawRect(120, 227, 361, 19);
  client->Place(cbRaw, rawRect, A::kLeft | A::kBottom);
  client->Place(Label3, label3Rect, A::kLeft | A::kTop);
  PlaceCaption(Label4, QRect(label3Rect.topLeft() + QPoint(-80, 0), QSize(73, 17)),
               A::kLeft | A::kTop);
  client->Place(Button1, QRect(480, 0, 49, 15), A::kLeft | A::kTop);
  const QRect stopRect(QPoint(rawRect.right() + 9, createRect.y()), btStop->sizeHint());
  client->Place(btStop, stopRect, A::kLeft | A::kBottom);
  const int barLeft = stopRect.right() + 9;
  const int barHeight = std::min(pbRun->sizeHint().height(), createRect.height());
  client->Place(pbRun,
                QRect(barLeft, createRect.y() + (createRect.height() - barHeight) / 2,
                      833 - barLeft, barHeight),
                A::kLeft | A::kRight | A::kBottom);
  // The phase text starts where the books caption ends, so that the two never
  // overprint; the label keeps its place in the layout.
  BkPart->setContentsMargins(std::max(0, Label2->geometry().right() + 9 - BkPart->x()), 0, 0, 0);
  client->setMinimumSize(client->MinimumForControls());

  btStop->setEnabled(false);
  pbRun->setRange(0, 1);
  pbRun->setValue(0);
  pbRun->setTextVisible(true);
  pbRun->setFormat(QString());

  tvLog->setHeaderLabels({QStringLiteral("Outcome"), QStringLiteral("File"), QStringLiteral("Line"),
                          QStringLiteral("Message"), QStringLiteral("Code")});
  tvLog->setRootIsDecorated(true);
  tvLog->setUniformRowHeights(true);
  tvLog->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tvLog->header()->setStretchLastSection(false);
  tvLog->header()->setSectionResizeMode(kMessageColumn, QHeaderView::Stretch);
  tvLog->setItemDelegateForColumn(kFileColumn, new MiddleElidingDelegate(tvLog));
  tvLog->setColumnWidth(kOutcomeColumn, 110);
  tvLog->setColumnWidth(kFileColumn, 200);
  tvLog->setColumnWidth(kLineColumn, 50);
  tvLog->setColumnWidth(kCodeColumn, 130);

  // The designed area above, the run log below in the layout's margins. A
  // larger window gives its room to the books list, as the anchors say; the
  // operator drags the handle to give it to the log, or to shut the log.
  auto* logLayout = new QVBoxLayout(logPane);
  logLayout->setContentsMargins(8, 0, 8, 8);
  logLayout->addWidget(tvLog);
  logPane->setMinimumSize(1, 1);
  splitter->addWidget(client);
  splitter->addWidget(logPane);
  splitter->setChildrenCollapsible(false);
  splitter->setCollapsible(1, true);
  splitter->setStretchFactor(0, 1);
  splitter->setStretchFactor(1, 0);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(splitter);
  splitter->setSizes({kLogTop, kClientSize.height() - kLogTop - splitter->handleWidth()});
  resize(kClientSize);

  // Tab order of the focusable controls: btCreate, Memo2, cbRaw, Button1,
  // then the run's own controls.
  setTabOrder(btCreate, Memo2);
  setTabOrder(Memo2, cbRaw);
  setTabOrder(cbRaw, Button1);
  setTabOrder(Button1, btStop);
  setTabOrder(btStop, tvLog);

  connect(btCreate, &QPushButton::clicked, this, &TForm1::btCreateClick);
  connect(btStop, &QPushButton::clicked, this, &TForm1::btStopClick);
  connect(Label3, &ClickLabel::clicked, this, &TForm1::Label3Click);
  connect(Label3, &ClickLabel::doubleClicked, this, &TForm1::Label3Click);
  connect(Button1, &QPushButton::clicked, this, &TForm1::Label3Click);
  connect(cbRaw, &QCheckBox::toggled, this, [this](bool ticked) { worker_->SetRawWanted(ticked); });
  connect(tvLog, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item, int) {
    const QString file = item->data(0, kFileRole).toString();
    if (!file.isEmpty()) OpenExisting(file, QStringLiteral("source file"));
  });

  // What the run reports arrives queued from the worker's thread.
  const BuildWorker* worker = worker_.get();
  connect(worker, &BuildWorker::phase, this,
          [this](const QString& text) { ShowPhase(ToQString(ShownText(text.toStdU16String()))); },
          Qt::QueuedConnection);
  connect(worker, &BuildWorker::lineStarted, this, &TForm1::OnLineStarted, Qt::QueuedConnection);
  connect(worker, &BuildWorker::stageDone, this, &TForm1::OnStageDone, Qt::QueuedConnection);
  connect(worker, &BuildWorker::diagnostic, this, &TForm1::OnDiagnostic, Qt::QueuedConnection);
  connect(worker, &BuildWorker::lineFinished, this, &TForm1::OnLineFinished,
          Qt::QueuedConnection);
  connect(worker, &BuildWorker::ended, this, &TForm1::OnEnded, Qt::QueuedConnection);

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
  // The operator's manual when there is one, else the installed guide.
  const std::u16string manual = paths::ManualPath();
  Label3->setText(files::IsRegularFile(manual) || services_.installedGuide.isEmpty()
                      ? ToQString(manual)
                      : services_.installedGuide);
  Label3->setToolTip(Label3->text());
  if (Form1 == nullptr) Form1 = this;
}

TForm1::~TForm1() {
  if (Form1 == this) Form1 = nullptr;
  // Nothing the run still reports reaches this window; the worker waits for
  // the module being built.
  worker_->disconnect(this);
  worker_.reset();
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

bool TForm1::Running() const { return worker_->running() || !btCreate->isEnabled(); }

void TForm1::btCreateClick() {
  if (Running()) return;
  // A marker left by a failed run is no part of any line: it goes before
  // the list is read.
  const std::u16string list = UnmarkLines(Memo2->toPlainText().toStdU16String());
  if (Memo2->toPlainText().toStdU16String() != list) SetBooksListText(ToQString(list));

  report_ = RunReport();
  tvLog->clear();
  linesToBuild_ = LinesToBuild(list);
  linesDone_ = 0;
  stagesDone_ = 0;
  ShowProgress();
  btCreate->setEnabled(false);
  btStop->setEnabled(true);
  worker_->SetRawWanted(cbRaw->isChecked());
  worker_->Start(list);
}

void TForm1::btStopClick() {
  if (!worker_->running()) return;
  worker_->RequestStop();
  btStop->setEnabled(false);
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (!Running()) {
    QWidget::closeEvent(event);
    return;
  }
  closeAfterRun_ = true;
  btStopClick();
  event->ignore();
}

void TForm1::ShowPhase(const QString& text) {
  BkPart->setText(text);
  BkPart->setToolTip(text);
}

void TForm1::ShowProgress() {
  const int total = std::max(1, linesToBuild_ * kStageCount);
  pbRun->setRange(0, total);
  pbRun->setValue(std::min(total, linesDone_ * kStageCount + stagesDone_));
  QString text;
  if (Running() && linesDone_ < linesToBuild_) {
    const Stage stage = static_cast<Stage>(std::min(stagesDone_, kStageCount - 1));
    text = QStringLiteral("Line %1 of %2: %3")
               .arg(linesDone_ + 1)
               .arg(linesToBuild_)
               .arg(QString::fromUtf8(StageName(stage)));
  } else if (linesToBuild_ > 0) {
    text = QStringLiteral("%1 of %2 lines").arg(linesDone_).arg(linesToBuild_);
  }
  pbRun->setFormat(text.replace(QLatin1Char('%'), QStringLiteral("%%")));
}

void TForm1::OnLineStarted(const QString& piece) {
  const std::u16string text = piece.toStdU16String();
  report_.StartLine(text);
  // The marked text is kept: unmarking writes it back without any "-->",
  // whatever the operator typed meanwhile.
  marked_ = MarkLine(Memo2->toPlainText().toStdU16String(), text);
  SetBooksListText(ToQString(marked_));
  stagesDone_ = 0;
  ShowLogLine();
  ShowProgress();
}

void TForm1::OnStageDone(int stage) {
  stagesDone_ = std::max(stagesDone_, stage + 1);
  ShowProgress();
}

void TForm1::OnDiagnostic(const QString& file, qint64 line, const QString& message,
                          const QString& code) {
  LogDiagnostic d;
  d.file = file.toStdU16String();
  d.line = line;
  d.message = message.toStdU16String();
  d.code = code.toStdU16String();
  report_.AddDiagnostic(d);
  AddLogDiagnostic(ShowLogLine(), d);
}

void TForm1::OnLineFinished(const QString&, int outcome, const QString& modulePath) {
  report_.FinishLine(static_cast<LineOutcome>(outcome), modulePath.toStdU16String());
  SetBooksListText(ToQString(UnmarkLines(marked_)));
  ++linesDone_;
  stagesDone_ = 0;
  ShowLogLine();
  ShowProgress();
}

void TForm1::OnEnded(bool stopped, bool failed, const QString& error, const QString& cause) {
  // The marker stays in front of a failing line until the next run.
  if (failed) {
    report_.FailLine(cause.toStdU16String());
    QTreeWidgetItem* item = ShowLogLine();
    AddLogDiagnostic(item, report_.lines().back().diagnostics.back());
  }
  const std::u16string summary = report_.Summary(stopped);
  if (!summary.empty()) ShowPhase(ToQString(summary));
  btStop->setEnabled(false);
  if (failed) services_.showError(this, error);
  btCreate->setEnabled(true);
  ShowProgress();
  emit runFinished();
  if (closeAfterRun_) close();
}

QTreeWidgetItem* TForm1::ShowLogLine() {
  const LogLine& line = report_.lines().back();
  const int row = static_cast<int>(report_.lines().size()) - 1;
  QTreeWidgetItem* item = tvLog->topLevelItem(row);
  if (item == nullptr) {
    item = new QTreeWidgetItem(tvLog);
    item->setData(0, kFileRole, ToQString(line.sourcePath));
  }
  item->setText(kOutcomeColumn, ToQString(LogOutcomeText(line.outcome)));
  item->setText(kFileColumn, ToQString(line.sourcePath));
  QString message = ToQString(line.piece);
  if (line.outcome == LogOutcome::kBuilt) {
    message += QStringLiteral(" \u2192 ") + ToQString(line.detail);
  } else if (line.outcome == LogOutcome::kSkipped) {
    message += QStringLiteral(": ") + ToQString(line.detail);
  }
  item->setText(kMessageColumn, message);
  item->setToolTip(kMessageColumn, message);
  item->setExpanded(true);
  tvLog->scrollToItem(item);
  return item;
}

void TForm1::AddLogDiagnostic(QTreeWidgetItem* parent, const LogDiagnostic& d) {
  auto* item = new QTreeWidgetItem(parent);
  const QString file = ToQString(d.file);
  item->setData(0, kFileRole, file);
  item->setText(kOutcomeColumn, d.error ? QStringLiteral("error") : QStringLiteral("warning"));
  item->setText(kFileColumn, file);
  if (d.line > 0) item->setText(kLineColumn, QString::number(d.line));
  item->setText(kMessageColumn, ToQString(d.message));
  item->setText(kCodeColumn, ToQString(d.code));
  // The whole diagnostic in one line, as "FILE:LINE: message".
  QString whole = file;
  if (d.line > 0) whole += QLatin1Char(':') + QString::number(d.line);
  whole += QStringLiteral(": ") + ToQString(d.message);
  item->setToolTip(kMessageColumn, whole);
  tvLog->scrollToItem(item);
}

void TForm1::OpenExisting(const QString& path, const QString& what) {
  if (!QFileInfo::exists(path)) {
    services_.showError(this, QStringLiteral("The %1 \"%2\" does not exist.").arg(what, path));
    return;
  }
  services_.openDocument(path);
}

void TForm1::Label3Click() { OpenExisting(Label3->text(), QStringLiteral("manual")); }

void TForm1::PreviewClick() {
  if (Running()) return;
  try {
    const PreviewSummary summary =
        PreviewBooksListLine(Memo2->textCursor().block().text().toStdU16String());
    services_.openDocument(ToQString(summary.indexPage));
  } catch (const std::exception& e) {
    services_.showError(this, QString::fromUtf8(e.what()));
  }
}

void TForm1::PlaceCaption(QLabel* label, QRect designed, int anchors) {
  designed.setWidth(std::max(designed.width(), label->sizeHint().width()));
  client->Place(label, designed, anchors);
}

}  // namespace quillavor::gui
