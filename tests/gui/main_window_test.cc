// The main window on the offscreen platform: the books list loaded at start,
// runs started with the Create button (on the worker thread), the marker, the
// raw check box, errors, the run log, Stop, the layout and the manual link.
#include "app/gui/main_window.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <memory>
#include <vector>

#include "model/errors.h"
#include "platform/paths.h"
#include "reader/module_reader.h"

namespace quillavor::gui {

namespace {

QString ToQ(const std::u16string& s) { return QString::fromStdU16String(s); }

// Calls `step` before every event the application delivers while it lives
// and a run of `window` goes on: what a run reports arrives as one event per
// report, so the step sees the window between any two of them. Events that
// the step itself sends do not call it again.
class DuringRun : public QObject {
 public:
  DuringRun(const TForm1& window, std::function<void()> step)
      : window_(window), step_(std::move(step)) {
    QCoreApplication::instance()->installEventFilter(this);
  }
  ~DuringRun() override { QCoreApplication::instance()->removeEventFilter(this); }

  bool eventFilter(QObject*, QEvent*) override {
    if (!inStep_ && window_.Running()) {
      inStep_ = true;
      step_();
      inStep_ = false;
    }
    return false;
  }

 private:
  const TForm1& window_;
  std::function<void()> step_;
  bool inStep_ = false;
};

// Presses Create and waits until the run has ended and been shown.
bool Create(TForm1& window) {
  QSignalSpy finished(&window, &TForm1::runFinished);
  QTest::mouseClick(window.btCreate, Qt::LeftButton);
  return finished.wait(120000);
}

// A source of about `bytes` bytes: books of 40 verses of varied words, large
// enough that building it takes a noticeable while.
QString WriteLargeSource(const QString& path, qint64 bytes) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return {};
  static const char* const kWords[] = {"light", "earth", "heaven", "water", "spirit", "deep",
                                       "form",  "void",  "day",    "night", "firmament", "seed"};
  QByteArray text("BIBLE\n");
  quint32 state = 12345;
  for (int book = 1; text.size() < bytes; ++book) {
    text += "<Genesis>Genesis " + QByteArray::number(book) + "\n";
    for (int verse = 1; verse <= 40; ++verse) {
      text += QByteArray::number(verse);
      for (int w = 0; w < 12; ++w) {
        state = state * 1103515245u + 12345u;
        text += ' ';
        text += kWords[(state >> 16) % 12];
        text += QByteArray::number((state >> 8) % 1000);
      }
      text += ".\n";
    }
  }
  file.write(text);
  return file.fileName();
}

// The next control that Tab moves to.
QWidget* NextTabStop(QWidget* from) {
  QWidget* w = from->nextInFocusChain();
  while (w != from && (w->focusPolicy() & Qt::TabFocus) == 0) w = w->nextInFocusChain();
  return w;
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void booksListAtStart_data();
  void booksListAtStart();
  void initialisationLineWithoutSettingsFile();
  void unreadableSettingsFileStopsConstruction();
  void layout();
  void anchorsFollowResize();
  void runBuildsEveryModule();
  void runLogShowsEveryLine();
  void stopLine_data();
  void stopLine();
  void typedMarkerDisappearsWhenRunStarts();
  void failingLineKeepsMarkerUntilNextRun();
  void rawFiles_data();
  void rawFiles();
  void rawBoxReadWhenWriting();
  void buttonOffDuringRunAndMarkerShown();
  void editsDuringLineReplacedByCapturedText();
  void emptyBooksList();
  void manualTriggersCallSameOpener();
  void manualLinkFallsBackToInstalledGuide_data();
  void manualLinkFallsBackToInstalledGuide();
  void previewOpensTheLineAtTheCursor();
  void stopEndsRunAfterCurrentModule();
  void windowTakesEventsDuringCompression();
  void minimumSizeKeepsEveryControl();

 private:
  std::unique_ptr<TForm1> MakeWindow();
  void WriteSettings(const QByteArray& bytes);
  // A source file in the work folder; returns its path.
  QString WriteSource(const QString& name);
  QString Work(const QString& name) const { return work_->filePath(name); }

  std::unique_ptr<QTemporaryDir> config_;
  std::unique_ptr<QTemporaryDir> work_;
  QStringList opened_;
  QStringList errors_;
};

void MainWindowTest::init() {
  config_ = std::make_unique<QTemporaryDir>();
  work_ = std::make_unique<QTemporaryDir>();
  QVERIFY(config_->isValid() && work_->isValid());
  qputenv("XDG_CONFIG_HOME", config_->path().toUtf8());
  opened_.clear();
  errors_.clear();
}

void MainWindowTest::cleanup() {
  work_.reset();
  config_.reset();
}

std::unique_ptr<TForm1> MainWindowTest::MakeWindow() {
  WindowServices services;
  services.openDocument = [this](const QString& path) { opened_ << path; };
  services.showError = [this](QWidget*, const QString& message) { errors_ << message; };
  return std::make_unique<TForm1>(std::move(services));
}

void MainWindowTest::WriteSettings(const QByteArray& bytes) {
  const QString path = ToQ(paths::SettingsFilePath());
  QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly));
  QCOMPARE(file.write(bytes), bytes.size());
}

QString MainWindowTest::WriteSource(const QString& name) {
  QFile file(Work(name));
  if (!file.open(QIODevice::WriteOnly)) return {};
  file.write(
      "BIBLE\n<Genesis>Genesis 1\n1 In the beginning God created the heaven and the earth.\n");
  return file.fileName();
}

void MainWindowTest::booksListAtStart_data() {
  QTest::addColumn<QByteArray>("settings");
  QTest::addColumn<QString>("memo");
  QTest::newRow("empty file, empty list") << QByteArray() << "";
  QTest::newRow("bytes after a 0 byte left out")
      << QByteArray("Bible | KJV | /src/kjv.txt\n\0Hymns | CCS | /src/h.txt\n", 52)
      << "Bible | KJV | /src/kjv.txt\n";
  QTest::newRow("UTF-8 decoded") << QByteArray("Biblia | RV | /src/reina-valera \xC3\xB1.txt")
                                 << QString::fromUtf8("Biblia | RV | /src/reina-valera ñ.txt");
  QTest::newRow("CR LF line ends become the memo's own")
      << QByteArray("A | a | a.txt\r\nB | b | b.txt\r\n") << "A | a | a.txt\nB | b | b.txt\n";
  QTest::newRow("byte-order mark dropped") << QByteArray(
                                                  "\xEF\xBB\xBF"
                                                  "A | a | a.txt")
                                           << "A | a | a.txt";
}

void MainWindowTest::booksListAtStart() {
  QFETCH(QByteArray, settings);
  QFETCH(QString, memo);
  WriteSettings(settings);
  auto window = MakeWindow();
  QCOMPARE(window->Memo2->toPlainText(), memo);
  QCOMPARE(window->Label3->text(), ToQ(paths::ManualPath()));
}

void MainWindowTest::initialisationLineWithoutSettingsFile() {
  // A folder at the settings path is no settings file either.
  const QString settings = ToQ(paths::SettingsFilePath());
  for (bool folder : {false, true}) {
    if (folder) QVERIFY(QDir().mkpath(settings));
    auto window = MakeWindow();
    QCOMPARE(window->Memo2->toPlainText(),
             "Create \"" + config_->path() +
                 "/Velthorpen/Quillavor Maker/QuillavorMaker.books\" to initialize on program "
                 "load.");
    QCOMPARE(window->Label3->text(),
             config_->path() + "/Velthorpen/Quillavor Maker/QuillavorMaker.docx");
  }
}

void MainWindowTest::unreadableSettingsFileStopsConstruction() {
  // A settings file of 2 GiB (sparse) cannot be read: construction fails with
  // the path, and the program shows that before any window appears.
  WriteSettings("");
  QFile settings(ToQ(paths::SettingsFilePath()));
  QVERIFY(settings.resize(qint64{1} << 31));
  try {
    MakeWindow();
    QFAIL("the window was made");
  } catch (const IoError& e) {
    QCOMPARE(QString::fromStdString(e.path()), settings.fileName());
  }
  QCOMPARE(Form1, nullptr);
}

void MainWindowTest::layout() {
  auto window = MakeWindow();
  QCOMPARE(window->windowTitle(), QString("Quillavor Maker"));
  QCOMPARE(window->size(), QSize(841, 344));
  QCOMPARE(Form1, window.get());

  struct Expected {
    QWidget* control;
    const char* name;
    QRect geometry;  // an empty size: the style's default
    QString text;
  };
  const Expected expected[] = {
      {window->btCreate, "btCreate", QRect(8, 225, 0, 0), "Create"},
      {window->Label2, "Label2", QRect(8, 23, 337, 17),
       "Books: Name | Abbr | Path&Filename [ | spanish,windowspage ]"},
      {window->Memo2, "Memo2", QRect(8, 40, 825, 179), QString()},
      {window->BkPart, "BkPart", QRect(353, 23, 480, 17), ""},
      {window->cbRaw, "cbRaw", QRect(120, 227, 361, 19),
       "Also create .raw file(s) (uncompressed binary)"},
      {window->Label3, "Label3", QRect(88, -2, 377, 17), ToQ(paths::ManualPath())},
      {window->Label4, "Label4", QRect(8, -2, 73, 17), "Reference:"},
      {window->Button1, "Button1", QRect(480, 0, 49, 15), "Open"},
  };
  for (const Expected& e : expected) {
    QCOMPARE(e.control->objectName(), QString(e.name));
    QCOMPARE(window->findChild<QWidget*>(e.name), e.control);
    QCOMPARE(e.control->pos(), e.geometry.topLeft());
    if (auto* label = qobject_cast<QLabel*>(e.control)) {
      QCOMPARE(label->text(), e.text);
      QCOMPARE(label->height(), e.geometry.height());
      // Captions widen to show their whole text in a wider font.
      if (label != window->BkPart && label != window->Label3) {
        QVERIFY(label->width() >= e.geometry.width());
        QVERIFY(label->width() >= label->fontMetrics().horizontalAdvance(label->text()));
      } else {
        QCOMPARE(label->width(), e.geometry.width());
      }
    } else if (!e.geometry.isEmpty()) {
      QCOMPARE(e.control->size(), e.geometry.size());
    }
    if (auto* button = qobject_cast<QAbstractButton*>(e.control)) {
      QCOMPARE(button->text(), e.text);
    }
  }
  QVERIFY(window->Label3->font().underline());

  // The phase text starts right of the books caption's text: the two never
  // overprint, whatever the phase.
  const int captionEnd =
      window->Label2->x() + window->Label2->fontMetrics().horizontalAdvance(window->Label2->text());
  QVERIFY2(window->BkPart->x() + window->BkPart->contentsRect().left() > captionEnd,
           qPrintable(QString::number(captionEnd)));
  // The run's own controls follow the raw check box on the Create row, clear of it.
  QCOMPARE(window->btStop->text(), QString("Stop"));
  QVERIFY(!window->btStop->isEnabled());
  QVERIFY(window->btStop->x() > window->cbRaw->geometry().right());
  QVERIFY(window->pbRun->x() > window->btStop->geometry().right());
  QCOMPARE(window->pbRun->geometry().right(), window->Memo2->geometry().right());

  // Tab walks btCreate, Memo2, cbRaw, Button1 (the labels take no focus), then
  // the run's Stop button and log.
  QCOMPARE(NextTabStop(window->btCreate), window->Memo2);
  QCOMPARE(NextTabStop(window->Memo2), window->cbRaw);
  QCOMPARE(NextTabStop(window->cbRaw), window->Button1);
  QCOMPARE(NextTabStop(window->Button1), window->btStop);
  QCOMPARE(NextTabStop(window->btStop), window->tvLog);
  QCOMPARE(NextTabStop(window->tvLog), window->btCreate);
  QVERIFY(window->Memo2->tabChangesFocus());
}

void MainWindowTest::anchorsFollowResize() {
  auto window = MakeWindow();
  window->show();
  const QPoint createAt = window->btCreate->pos();
  const QRect label2 = window->Label2->geometry();
  const QRect label4 = window->Label4->geometry();
  window->resize(1041, 444);  // 200 wider, 100 taller
  QCOMPARE(window->Memo2->geometry(), QRect(8, 40, 1025, 279));
  QCOMPARE(window->BkPart->geometry(), QRect(353, 23, 680, 17));
  QCOMPARE(window->btCreate->pos(), createAt + QPoint(0, 100));
  QCOMPARE(window->cbRaw->geometry(), QRect(120, 327, 361, 19));
  QCOMPARE(window->Label2->geometry(), label2);
  QCOMPARE(window->Label3->geometry(), QRect(88, -2, 377, 17));
  QCOMPARE(window->Label4->geometry(), label4);
  QCOMPARE(window->Button1->geometry(), QRect(480, 0, 49, 15));
  window->resize(841, 344);
  QCOMPARE(window->Memo2->geometry(), QRect(8, 40, 825, 179));
  QCOMPARE(window->cbRaw->geometry(), QRect(120, 227, 361, 19));
}

void MainWindowTest::runBuildsEveryModule() {
  const QString a = WriteSource("genesis.txt");
  const QString b = WriteSource("hymns");
  auto window = MakeWindow();
  const QString list = "Bible | KJV | " + a + "\r\n\n  Hymns | CCS |   " + b + "   \n";
  window->Memo2->setPlainText(list);
  QStringList phases;
  {
    DuringRun watch(*window, [&] {
      if (phases.isEmpty() || phases.back() != window->BkPart->text()) {
        phases << window->BkPart->text();
        // The whole phase is the label's tool tip, however it is shortened.
        QCOMPARE(window->BkPart->toolTip(), window->BkPart->text());
      }
    });
    QVERIFY(Create(*window));
  }
  QVERIFY2(errors_.isEmpty(), qPrintable(errors_.join('\n')));
  QVERIFY(QFileInfo(Work("genesis.quillavor")).size() > 0);
  QVERIFY(QFileInfo(Work("hymns.quillavor")).size() > 0);
  QVERIFY(!QFile::exists(Work("genesis.quillavor.raw")));
  QVERIFY(!window->Memo2->toPlainText().contains("-->"));
  QVERIFY(phases.contains("Write " + Work("hymns.quillavor")));
  QVERIFY(!phases.join("").contains("&&"));
  QCOMPARE(window->BkPart->text(), QString("2 built"));  // the summary stays
  QCOMPARE(window->pbRun->value(), window->pbRun->maximum());
  QCOMPARE(window->pbRun->text(), QString("2 of 2 lines"));
  QVERIFY(window->btCreate->isEnabled());
  QVERIFY(!window->btStop->isEnabled());
}

// The run log lists every line looked at with its outcome, and under it the
// line's warnings in order, each with file and line; the summary counts them.
// A double-click on a warning opens its source file.
void MainWindowTest::runLogShowsEveryLine() {
  const QString plain = WriteSource("plain.txt");
  QFile odd(Work("odd.txt"));
  QVERIFY(odd.open(QIODevice::WriteOnly));
  odd.write("BIBLE\n<Gen>Genesis 1\n1 See <a=\xe9\xbe\x8d.\n2 And <a=\xff.\n");
  odd.close();
  const QString missing = Work("missing.txt");
  auto window = MakeWindow();
  window->Memo2->setPlainText("Plain | P | " + plain + "\ntoo | few\nOdd | O | " + odd.fileName() +
                              "\nMissing | M | " + missing + "\n");
  QVERIFY(Create(*window));
  QVERIFY2(errors_.isEmpty(), qPrintable(errors_.join('\n')));
  QCOMPARE(window->BkPart->text(), QString("2 built, 2 skipped, 5 warnings"));

  // Outcome, file, line, message, code of every row; warnings indented.
  QStringList rows;
  for (int i = 0; i < window->tvLog->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* line = window->tvLog->topLevelItem(i);
    rows << QStringList{line->text(0), line->text(1), line->text(2), line->text(3), line->text(4)}
                .join(" # ");
    for (int j = 0; j < line->childCount(); ++j) {
      const QTreeWidgetItem* d = line->child(j);
      rows << "  " + QStringList{d->text(0), d->text(1), d->text(2), d->text(3), d->text(4)}
                         .join(" # ");
    }
  }
  const QStringList expected = {
      "built # " + plain + " #  # Plain | P | " + plain + " \u2192 " + Work("plain.quillavor") +
          " # ",
      "skipped #  #  # too | few: fewer than three fields # ",
      "  warning # books list # 2 # the line has 2 fields; a module line has at least three, "
      "separated by \"|\": Name | Abbr | Path&Filename [ | spanish,windowspage ] # skipped-line",
      "built # " + odd.fileName() + " #  # Odd | O | " + odd.fileName() + " \u2192 " +
          Work("odd.quillavor") + " # ",
      "  warning # " + odd.fileName() +
          " # 3 # the text \"<a=\" followed by U+9F8D reads as a resolved link in a reading "
          "program; put a blank after \"<a=\" # link-lookalike",
      "  warning # " + odd.fileName() +
          " # 4 # bytes that are not UTF-8 (the first is 0xFF) are stored as U+FFFD; save the "
          "source as UTF-8 # malformed-utf8",
      "  warning # " + odd.fileName() +
          " # 4 # the text \"<a=\" followed by U+FFFD (malformed UTF-8 in the source) reads as a "
          "resolved link in a reading program; put a blank after \"<a=\" # link-lookalike",
      "skipped # " + missing + " #  # Missing | M | " + missing +
          ": no source file at that path # ",
      "  warning # books list # 4 # no source file at \"" + missing + "\" (tried \"" + missing +
          "\"); the line is skipped # skipped-line",
  };

  QCOMPARE(rows, expected);
  QCOMPARE(window->tvLog->topLevelItem(2)->child(0)->toolTip(3),
           odd.fileName() + ":3: " + window->tvLog->topLevelItem(2)->child(0)->text(3));

  QTreeWidgetItem* warning = window->tvLog->topLevelItem(2)->child(1);
  emit window->tvLog->itemDoubleClicked(warning, 3);
  QCOMPARE(opened_, QStringList{odd.fileName()});
  // A line whose source is not there names it instead of opening nothing.
  emit window->tvLog->itemDoubleClicked(window->tvLog->topLevelItem(3), 0);
  QCOMPARE(opened_.size(), 1);
  QCOMPARE(errors_, QStringList{"The source file \"" + missing + "\" does not exist."});

  // The next run starts a new log; without warnings there are none.
  window->Memo2->setPlainText("Plain | P | " + plain + "\n");
  QVERIFY(Create(*window));
  QCOMPARE(window->tvLog->topLevelItemCount(), 1);
  QCOMPARE(window->tvLog->topLevelItem(0)->childCount(), 0);
  QCOMPARE(window->BkPart->text(), QString("1 built"));
}

void MainWindowTest::stopLine_data() {
  QTest::addColumn<QString>("line");
  QTest::addColumn<bool>("stops");
  QTest::newRow("BREAK") << "BREAK" << true;
  QTest::newRow("Break") << "Break" << true;
  QTest::newRow("break with a trailing space") << "break " << false;
  QTest::newRow("break with a leading space") << " break" << false;
}

void MainWindowTest::stopLine() {
  QFETCH(QString, line);
  QFETCH(bool, stops);
  const QString a = WriteSource("a.txt");
  const QString b = WriteSource("b.txt");
  auto window = MakeWindow();
  const QString list = "A | a | " + a + "\n" + line + "\nB | b | " + b;
  window->Memo2->setPlainText(list);
  QStringList marked;
  {
    DuringRun watch(*window, [&] {
      const QString memo = window->Memo2->toPlainText();
      if (memo.contains("-->") && !marked.contains(memo)) marked << memo;
    });
    QVERIFY(Create(*window));
  }
  QVERIFY(QFile::exists(Work("a.quillavor")));
  QCOMPARE(QFile::exists(Work("b.quillavor")), !stops);
  // The stop line is never marked; an ordinary one-field line is.
  QCOMPARE(marked.contains("A | a | " + a + "\n-->" + line + "\nB | b | " + b), !stops);
  QCOMPARE(window->Memo2->toPlainText(), list);
  QVERIFY(window->btCreate->isEnabled());
}

// A "-->" typed anywhere in the list goes before the run reads the list, so
// it is never part of a line that is built.
void MainWindowTest::typedMarkerDisappearsWhenRunStarts() {
  const QString a = WriteSource("a.txt");
  auto window = MakeWindow();
  window->Memo2->setPlainText("A | a | " + a + "\nnotes --> here\n-->");
  QStringList seen;
  {
    DuringRun watch(*window, [&] {
      if (!seen.contains(window->Memo2->toPlainText())) seen << window->Memo2->toPlainText();
    });
    QVERIFY(Create(*window));
  }
  QCOMPARE(window->Memo2->toPlainText(), "A | a | " + a + "\nnotes  here\n");
  // While the first line was built only its own marker was there.
  QVERIFY2(seen.contains("-->A | a | " + a + "\nnotes  here\n"), qPrintable(seen.join("\n|")));
  QCOMPARE(window->tvLog->topLevelItem(1)->text(3), QString("notes  here: fewer than three fields"));
}

// A failing line keeps its marker and the error box names line, source and
// cause, with the warnings of earlier lines in the log before the error. The
// next run removes the marker before it reads the list: the module of the
// mended line is named as the line says, without "-->".
void MainWindowTest::failingLineKeepsMarkerUntilNextRun() {
  QFile goodFile(Work("good.txt"));
  QVERIFY(goodFile.open(QIODevice::WriteOnly));
  goodFile.write("BIBLE\n<Gen>Genesis 1\n1 See <a=\xe9\xbe\x8d.\n");
  goodFile.close();
  const QString good = goodFile.fileName();
  const QString bad = WriteSource("bad.txt");
  const QString later = WriteSource("later.txt");
  QVERIFY(QDir().mkpath(Work("bad.quillavor")));  // the module path is a folder
  auto window = MakeWindow();
  const QString badLine = "Bad | B | " + bad;
  window->Memo2->setPlainText("Good | G | " + good + "\n" + badLine + "\nLater | L | " + later);
  QVERIFY(Create(*window));

  QCOMPARE(errors_.size(), 1);
  const QString message = errors_.front();
  QVERIFY2(message.startsWith("module line \"" + badLine + "\", source \"" + bad + "\": "),
           qPrintable(message));
  QVERIFY2(message.contains(Work("bad.quillavor")), qPrintable(message));  // the cause
  QCOMPARE(window->Memo2->toPlainText(),
           "Good | G | " + good + "\n-->" + badLine + "\nLater | L | " + later);
  QVERIFY(QFile::exists(Work("good.quillavor")));
  QVERIFY(!QFile::exists(Work("later.quillavor")));
  QVERIFY(window->btCreate->isEnabled());
  QCOMPARE(window->BkPart->text(), QString("1 built, 1 failed, 1 warning"));
  QCOMPARE(window->tvLog->topLevelItemCount(), 2);
  const QTreeWidgetItem* goodRow = window->tvLog->topLevelItem(0);
  const QTreeWidgetItem* badRow = window->tvLog->topLevelItem(1);
  QCOMPARE(goodRow->childCount(), 1);
  QCOMPARE(goodRow->child(0)->text(0), QString("warning"));
  QCOMPARE(badRow->text(0), QString("failed"));
  QCOMPARE(badRow->childCount(), 1);
  QCOMPARE(badRow->child(0)->text(0), QString("error"));
  QCOMPARE(badRow->child(0)->text(1), bad);
  QVERIFY(message.endsWith(badRow->child(0)->text(3)));

  QVERIFY(QDir(Work("bad.quillavor")).removeRecursively());
  QVERIFY(Create(*window));
  QCOMPARE(errors_.size(), 1);
  QVERIFY(QFile::exists(Work("later.quillavor")));
  QVERIFY(!window->Memo2->toPlainText().contains("-->"));
  QCOMPARE(ReadModuleFile(Work("bad.quillavor").toStdU16String()).String(0), u"Bad");
  QCOMPARE(window->tvLog->topLevelItem(1)->text(3),
           badLine + " \u2192 " + Work("bad.quillavor"));
}

void MainWindowTest::rawFiles_data() {
  QTest::addColumn<bool>("ticked");
  QTest::newRow("ticked") << true;
  QTest::newRow("not ticked") << false;
}

void MainWindowTest::rawFiles() {
  QFETCH(bool, ticked);
  const QString a = WriteSource("a.txt");
  const QString b = WriteSource("b.txt");
  auto window = MakeWindow();
  window->Memo2->setPlainText("A | a | " + a + "\nB | b | " + b);
  window->cbRaw->setChecked(ticked);
  QVERIFY(Create(*window));
  for (const char* name : {"a", "b"}) {
    const QString module = Work(QString(name) + ".quillavor");
    QVERIFY(QFile::exists(module));
    QCOMPARE(QFile::exists(module + ".raw"), ticked);
    // The raw file holds the image that the module file compresses: larger.
    if (ticked) QVERIFY(QFileInfo(module + ".raw").size() > QFileInfo(module).size());
  }
}

void MainWindowTest::rawBoxReadWhenWriting() {
  // Large enough that the run is still compiling when the box is ticked.
  const QString a = WriteLargeSource(Work("a.txt"), 1'000'000);
  auto window = MakeWindow();
  window->Memo2->setPlainText("A | a | " + a);
  {
    // Ticked while the run is already going on.
    DuringRun tick(*window, [&] {
      if (!window->btCreate->isEnabled()) window->cbRaw->setChecked(true);
    });
    QVERIFY(Create(*window));
  }
  QVERIFY(QFile::exists(Work("a.quillavor.raw")));
}

void MainWindowTest::buttonOffDuringRunAndMarkerShown() {
  const QString a = WriteSource("a.txt");
  const QString b = WriteSource("b.txt");
  auto window = MakeWindow();
  const QString list = "A | a | " + a + "\nB | b | " + b;
  window->Memo2->setPlainText(list);
  int passes = 0;
  bool enabledSeen = false;
  QStringList memos;
  QStringList phases;
  QSignalSpy clicks(window->btCreate, &QPushButton::clicked);
  {
    DuringRun watch(*window, [&] {
      ++passes;
      enabledSeen = enabledSeen || window->btCreate->isEnabled();
      if (!memos.contains(window->Memo2->toPlainText())) memos << window->Memo2->toPlainText();
      if (!phases.contains(window->BkPart->text())) phases << window->BkPart->text();
      // A second press during the run starts nothing.
      QTest::mouseClick(window->btCreate, Qt::LeftButton);
    });
    QVERIFY(Create(*window));
  }
  QVERIFY(passes > 0);
  QVERIFY(!enabledSeen);
  QCOMPARE(clicks.count(), 1);
  QVERIFY(memos.contains("-->A | a | " + a + "\nB | b | " + b));
  QVERIFY(memos.contains("A | a | " + a + "\n-->B | b | " + b));
  QVERIFY(phases.contains("Loading & preparing linkages"));
  QVERIFY(window->btCreate->isEnabled());
  QCOMPARE(window->Memo2->toPlainText(), list);
}

void MainWindowTest::editsDuringLineReplacedByCapturedText() {
  const QString a = WriteSource("a.txt");
  auto window = MakeWindow();
  window->Memo2->setPlainText("A | a | " + a);
  bool typed = false;
  {
    DuringRun edit(*window, [&] {
      // Typed while the line is being built, its marker shown.
      if (typed || !window->Memo2->toPlainText().contains("-->")) return;
      typed = true;
      window->Memo2->moveCursor(QTextCursor::End);
      QTest::keyClick(window->Memo2, Qt::Key_Return);
      QTest::keyClicks(window->Memo2, "new line");
    });
    QVERIFY(Create(*window));
  }
  QVERIFY(typed);
  QCOMPARE(window->Memo2->toPlainText(), "A | a | " + a);
}

void MainWindowTest::emptyBooksList() {
  auto window = MakeWindow();
  window->Memo2->setPlainText("");
  QVERIFY(Create(*window));
  QVERIFY(window->btCreate->isEnabled());
  QCOMPARE(window->BkPart->text(), QString());
  QVERIFY(errors_.isEmpty());
  QCOMPARE(QDir(work_->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size(), 0);
}

void MainWindowTest::manualTriggersCallSameOpener() {
  auto window = MakeWindow();
  const QString manual = ToQ(paths::ManualPath());
  // No manual yet: an error box names the path, nothing is opened.
  QTest::mouseClick(window->Button1, Qt::LeftButton);
  QCOMPARE(opened_, QStringList());
  QCOMPARE(errors_, QStringList{"The manual \"" + manual + "\" does not exist."});
  QVERIFY(QDir().mkpath(QFileInfo(manual).absolutePath()));
  QFile(manual).open(QIODevice::WriteOnly);

  QTest::mouseClick(window->Label3, Qt::LeftButton);
  QCOMPARE(opened_, QStringList{manual});
  opened_.clear();
  QTest::mouseDClick(window->Label3, Qt::LeftButton);
  QVERIFY(!opened_.isEmpty());
  QCOMPARE(opened_.count(manual), opened_.size());
  opened_.clear();
  QTest::mouseClick(window->Button1, Qt::LeftButton);
  QCOMPARE(opened_, QStringList{manual});
  // The opener gets the label's current text.
  opened_.clear();
  const QString elsewhere = Work("manual.docx");
  QFile(elsewhere).open(QIODevice::WriteOnly);
  window->Label3->setText(elsewhere);
  QTest::mouseClick(window->Button1, Qt::LeftButton);
  QCOMPARE(opened_, QStringList{elsewhere});
  QCOMPARE(errors_.size(), 1);
}

// The link names the operator's manual when it exists; otherwise the guide
// installed with the program, when there is one; otherwise still the manual's
// path, so that the operator sees where to put it.
void MainWindowTest::manualLinkFallsBackToInstalledGuide_data() {
  QTest::addColumn<bool>("manualExists");
  QTest::addColumn<bool>("guideInstalled");
  QTest::addColumn<bool>("guideLinked");
  QTest::newRow("manual and guide") << true << true << false;
  QTest::newRow("guide only") << false << true << true;
  QTest::newRow("manual only") << true << false << false;
  QTest::newRow("neither") << false << false << false;
}

void MainWindowTest::manualLinkFallsBackToInstalledGuide() {
  QFETCH(bool, manualExists);
  QFETCH(bool, guideInstalled);
  QFETCH(bool, guideLinked);
  const QString manual = ToQ(paths::ManualPath());
  if (manualExists) {
    QVERIFY(QDir().mkpath(QFileInfo(manual).absolutePath()));
    QFile file(manual);
    QVERIFY(file.open(QIODevice::WriteOnly));
  }
  WindowServices services;
  services.openDocument = [this](const QString& path) { opened_ << path; };
  services.showError = [this](QWidget*, const QString& message) { errors_ << message; };
  if (guideInstalled) {
    services.installedGuide = Work("GUIDE.md");
    QFile guide(services.installedGuide);
    QVERIFY(guide.open(QIODevice::WriteOnly));
  }
  TForm1 window(std::move(services));
  const QString expected = guideLinked ? Work("GUIDE.md") : manual;
  QCOMPARE(window.Label3->text(), expected);
  QTest::mouseClick(window.Button1, Qt::LeftButton);
  if (!manualExists && !guideInstalled) {
    // Nothing to open: the operator is told which manual is missing.
    QVERIFY(opened_.isEmpty());
    QCOMPARE(errors_.size(), 1);
    QVERIFY(errors_.front().contains(manual));
  } else {
    QCOMPARE(opened_, QStringList{expected});
    QVERIFY(errors_.isEmpty());
  }
}

// "Preview" writes the preview of the line at the cursor and opens its first
// page with the same opener as the manual; a line without a module file yet,
// or no module line at all, is an error shown to the operator.
void MainWindowTest::previewOpensTheLineAtTheCursor() {
  const QString source = WriteSource("genesis.txt");
  auto window = MakeWindow();
  window->Memo2->setPlainText("no module line\nBible | KJV | " + source + "\n");
  QTextCursor cursor = window->Memo2->textCursor();
  cursor.setPosition(window->Memo2->document()->findBlockByNumber(1).position() + 3);
  window->Memo2->setTextCursor(cursor);

  window->actPreview->trigger();
  QCOMPARE(opened_.size(), 0);
  QCOMPARE(errors_.size(), 1);
  QVERIFY2(errors_[0].contains(Work("genesis.quillavor")) && errors_[0].contains("Create first"),
           qPrintable(errors_[0]));

  QVERIFY(Create(*window));
  window->actPreview->trigger();
  QCOMPARE(errors_.size(), 1);
  QCOMPARE(opened_, QStringList{Work("genesis.preview/index.html")});
  QVERIFY(QFile::exists(opened_[0]));

  cursor.setPosition(2);
  window->Memo2->setTextCursor(cursor);
  window->actPreview->trigger();
  QCOMPARE(errors_.size(), 2);
  QVERIFY2(errors_[1].contains("no module line"), qPrintable(errors_[1]));
}

// Stop ends the run once the module being built is written: later lines are
// not looked at, no temporary file is left, and the summary says so.
void MainWindowTest::stopEndsRunAfterCurrentModule() {
  const QString big = WriteLargeSource(Work("big.txt"), 1'500'000);
  const QString a = WriteSource("a.txt");
  auto window = MakeWindow();
  const QString list = "Big | B | " + big + "\nToo few\nA | a | " + a;
  window->Memo2->setPlainText(list);
  bool stopEnabledDuringRun = false;
  {
    DuringRun stop(*window, [&] {
      if (window->Memo2->toPlainText().startsWith("-->Big") && window->btStop->isEnabled()) {
        stopEnabledDuringRun = true;
        QTest::mouseClick(window->btStop, Qt::LeftButton);
        QVERIFY(!window->btStop->isEnabled());
      }
    });
    QVERIFY(Create(*window));
  }
  QVERIFY(stopEnabledDuringRun);
  QVERIFY(errors_.isEmpty());
  QCOMPARE(QDir(work_->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
           (QStringList{"a.txt", "big.quillavor", "big.txt"}));
  QCOMPARE(ReadModuleFile(Work("big.quillavor").toStdU16String()).String(0), u"Big");
  QCOMPARE(window->BkPart->text(), QString("1 built, stopped"));
  QCOMPARE(window->tvLog->topLevelItemCount(), 1);
  QCOMPARE(window->pbRun->text(), QString("1 of 3 lines"));
  QCOMPARE(window->Memo2->toPlainText(), list);
  QVERIFY(window->btCreate->isEnabled());
  QVERIFY(!window->btStop->isEnabled());

  // The next run is not stopped by the last one's request.
  QVERIFY(Create(*window));
  QCOMPARE(window->BkPart->text(), QString("2 built, 1 skipped, 1 warning"));
}

// The build runs off the window's thread: while a large module is compressed
// the window goes on taking events (a timer fires, the run's progress shows).
void MainWindowTest::windowTakesEventsDuringCompression() {
  const QString big = WriteLargeSource(Work("big.txt"), 3'000'000);
  auto window = MakeWindow();
  window->show();
  window->Memo2->setPlainText("Big | B | " + big);
  int ticks = 0;
  int ticksInCompression = 0;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    ++ticks;
    if (window->pbRun->text() == "Line 1 of 1: compression") ++ticksInCompression;
  });
  timer.start(5);
  QVERIFY(Create(*window));
  QVERIFY(QFile::exists(Work("big.quillavor")));
  QVERIFY2(ticksInCompression >= 2,
           qPrintable(QString("%1 of %2 ticks").arg(ticksInCompression).arg(ticks)));
}

// However small the operator makes the window, every control of the layout
// stays whole and inside the window.
void MainWindowTest::minimumSizeKeepsEveryControl() {
  auto window = MakeWindow();
  window->show();
  const std::initializer_list<QWidget*> controls{
      window->btCreate, window->Label2, window->Label3, window->Label4, window->Memo2,
      window->BkPart,   window->cbRaw,  window->Button1, window->btStop, window->pbRun};
  std::vector<QSize> designed;
  for (QWidget* control : controls) designed.push_back(control->size());
  window->resize(100, 100);
  QVERIFY(window->width() > 100 && window->height() > 100);
  const QRect area = window->rect();
  auto size = designed.begin();
  for (QWidget* control : controls) {
    const QRect r(control->mapTo(window.get(), QPoint(0, 0)), control->size());
    // Stretched controls keep room for a few words or lines, others their size.
    QVERIFY2(r.width() >= std::min(size->width(), 120) && r.height() >= std::min(size->height(), 48),
             qPrintable(control->objectName()));
    ++size;
    // The manual link and its button start above the client area by design.
    QVERIFY2(r.right() <= area.right() && r.bottom() <= area.bottom() && r.left() >= 0,
             qPrintable(control->objectName()));
  }
  QVERIFY(window->btCreate->geometry().top() > window->Memo2->geometry().bottom());
  QVERIFY(window->pbRun->geometry().left() > window->btStop->geometry().right());
}

}  // namespace quillavor::gui

QTEST_MAIN(quillavor::gui::MainWindowTest)
#include "main_window_test.moc"
