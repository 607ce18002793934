// The main window on the offscreen platform: the books list loaded at start,
// runs started with the Create button, the marker, the raw check box, errors,
// the layout and the manual link.
#include "app/gui/main_window.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include "model/errors.h"
#include "platform/paths.h"

namespace quillavor::gui {

namespace {

QString ToQ(const std::u16string& s) { return QString::fromStdU16String(s); }

// Calls `step` at every pass of the event loop while it lives; a run pumps
// events, so the step sees the window in the middle of a run.
class DuringRun {
 public:
  explicit DuringRun(std::function<void()> step) {
    QObject::connect(&timer_, &QTimer::timeout, std::move(step));
    timer_.start(0);
  }

 private:
  QTimer timer_;
};

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
  void warningsShownOnceAfterTheRun();
  void stopLine_data();
  void stopLine();
  void typedMarkerDisappearsAfterFirstLine();
  void failingLineKeepsMarkerAndButtonComesBack();
  void rawFiles_data();
  void rawFiles();
  void rawBoxReadWhenWriting();
  void buttonOffDuringRunAndMarkerShown();
  void editsDuringLineReplacedByCapturedText();
  void emptyBooksList();
  void manualTriggersCallSameOpener();
  void previewOpensTheLineAtTheCursor();

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
  QStringList warnings_;
};

void MainWindowTest::init() {
  config_ = std::make_unique<QTemporaryDir>();
  work_ = std::make_unique<QTemporaryDir>();
  QVERIFY(config_->isValid() && work_->isValid());
  qputenv("XDG_CONFIG_HOME", config_->path().toUtf8());
  opened_.clear();
  errors_.clear();
  warnings_.clear();
}

void MainWindowTest::cleanup() {
  work_.reset();
  config_.reset();
}

std::unique_ptr<TForm1> MainWindowTest::MakeWindow() {
  WindowServices services;
  services.openDocument = [this](const QString& path) { opened_ << path; };
  services.showError = [this](QWidget*, const QString& message) { errors_ << message; };
  services.showWarnings = [this](QWidget* window, const QString& warnings) {
    QVERIFY(qobject_cast<TForm1*>(window)->btCreate->isEnabled() == false);  // before re-enabling
    warnings_ << warnings;
  };
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

  // Tab walks btCreate, Memo2, cbRaw, Button1 (the labels take no focus).
  QCOMPARE(NextTabStop(window->btCreate), window->Memo2);
  QCOMPARE(NextTabStop(window->Memo2), window->cbRaw);
  QCOMPARE(NextTabStop(window->cbRaw), window->Button1);
  QCOMPARE(NextTabStop(window->Button1), window->btCreate);
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
  QTest::mouseClick(window->btCreate, Qt::LeftButton);
  QVERIFY2(errors_.isEmpty(), qPrintable(errors_.join('\n')));
  QVERIFY(QFileInfo(Work("genesis.quillavor")).size() > 0);
  QVERIFY(QFileInfo(Work("hymns.quillavor")).size() > 0);
  QVERIFY(!QFile::exists(Work("genesis.quillavor.raw")));
  QVERIFY(!window->Memo2->toPlainText().contains("-->"));
  QVERIFY(!window->BkPart->text().isEmpty());  // the last phase stays
  QVERIFY(!window->BkPart->text().contains("&&"));
  QVERIFY(window->btCreate->isEnabled());
}

// Warnings of every line are gathered and shown once, after the run, each
// with its books-list line; a run without warnings shows none.
void MainWindowTest::warningsShownOnceAfterTheRun() {
  const QString plain = WriteSource("plain.txt");
  QFile odd(Work("odd.txt"));
  QVERIFY(odd.open(QIODevice::WriteOnly));
  odd.write("BIBLE\n<Gen>Genesis 1\n1 See <a=\xe9\xbe\x8d.\n2 And <a=\xff.\n");
  odd.close();
  auto window = MakeWindow();
  window->Memo2->setPlainText("Plain | P | " + plain + "\nOdd | O | " + odd.fileName() + "\n");
  QTest::mouseClick(window->btCreate, Qt::LeftButton);
  QVERIFY2(errors_.isEmpty(), qPrintable(errors_.join('\n')));
  QCOMPARE(warnings_.size(), 1);
  const QStringList lines = warnings_[0].split('\n');
  QCOMPARE(lines.size(), 3);
  QVERIFY2(lines[0].startsWith("Odd | O | ") && lines[0].contains(": line 3: the text \"<a=\"") &&
               lines[0].endsWith("[link-lookalike]"),
           qPrintable(lines[0]));
  QVERIFY2(lines[1].startsWith("Odd | O | ") && lines[1].contains(": line 4: bytes that are not") &&
               lines[1].endsWith("[malformed-utf8]"),
           qPrintable(lines[1]));
  QVERIFY2(lines[2].contains("line 4:") && lines[2].contains("U+FFFD"), qPrintable(lines[2]));
  QVERIFY(QFileInfo(Work("odd.quillavor")).size() > 0);
  QVERIFY(window->btCreate->isEnabled());

  warnings_.clear();
  window->Memo2->setPlainText("Plain | P | " + plain + "\n");
  QTest::mouseClick(window->btCreate, Qt::LeftButton);
  QVERIFY(warnings_.isEmpty());
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
    DuringRun watch([&] {
      const QString memo = window->Memo2->toPlainText();
      if (memo.contains("-->") && !marked.contains(memo)) marked << memo;
    });
    QTest::mouseClick(window->btCreate, Qt::LeftButton);
  }
  QVERIFY(QFile::exists(Work("a.quillavor")));
  QCOMPARE(QFile::exists(Work("b.quillavor")), !stops);
  // The stop line is never marked; an ordinary one-field line is.
  QCOMPARE(marked.contains("A | a | " + a + "\n-->" + line + "\nB | b | " + b), !stops);
  QCOMPARE(window->Memo2->toPlainText(), list);
  QVERIFY(window->btCreate->isEnabled());
}

void MainWindowTest::typedMarkerDisappearsAfterFirstLine() {
  const QString a = WriteSource("a.txt");
  auto window = MakeWindow();
  window->Memo2->setPlainText("A | a | " + a + "\nnotes --> here\n-->");
  QStringList seen;
  {
    DuringRun watch([&] { seen << window->Memo2->toPlainText(); });
    QTest::mouseClick(window->btCreate, Qt::LeftButton);
  }
  QCOMPARE(window->Memo2->toPlainText(), "A | a | " + a + "\nnotes  here\n");
  // While the first line was built only its own marker was added.
  QVERIFY(seen.contains("-->A | a | " + a + "\nnotes --> here\n-->"));
}

void MainWindowTest::failingLineKeepsMarkerAndButtonComesBack() {
  const QString good = WriteSource("good.txt");
  const QString bad = WriteSource("bad.txt");
  const QString later = WriteSource("later.txt");
  QVERIFY(QDir().mkpath(Work("bad.quillavor")));  // the module path is a folder
  auto window = MakeWindow();
  const QString badLine = "Bad | B | " + bad;
  window->Memo2->setPlainText("Good | G | " + good + "\n" + badLine + "\nLater | L | " + later);
  QTest::mouseClick(window->btCreate, Qt::LeftButton);

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

  // The next run starts from the marked text: the marker goes with the first line.
  QVERIFY(QDir(Work("bad.quillavor")).removeRecursively());
  QTest::mouseClick(window->btCreate, Qt::LeftButton);
  QCOMPARE(errors_.size(), 1);
  QVERIFY(QFile::exists(Work("later.quillavor")));
  QVERIFY(!window->Memo2->toPlainText().contains("-->"));
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
  QTest::mouseClick(window->btCreate, Qt::LeftButton);
  for (const char* name : {"a", "b"}) {
    const QString module = Work(QString(name) + ".quillavor");
    QVERIFY(QFile::exists(module));
    QCOMPARE(QFile::exists(module + ".raw"), ticked);
    // The raw file holds the image that the module file compresses: larger.
    if (ticked) QVERIFY(QFileInfo(module + ".raw").size() > QFileInfo(module).size());
  }
}

void MainWindowTest::rawBoxReadWhenWriting() {
  const QString a = WriteSource("a.txt");
  auto window = MakeWindow();
  window->Memo2->setPlainText("A | a | " + a);
  {
    // Ticked while the run is already going on.
    DuringRun tick([&] {
      if (!window->btCreate->isEnabled()) window->cbRaw->setChecked(true);
    });
    QTest::mouseClick(window->btCreate, Qt::LeftButton);
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
    DuringRun watch([&] {
      ++passes;
      enabledSeen = enabledSeen || window->btCreate->isEnabled();
      if (!memos.contains(window->Memo2->toPlainText())) memos << window->Memo2->toPlainText();
      if (!phases.contains(window->BkPart->text())) phases << window->BkPart->text();
      // A second press during the run starts nothing.
      QTest::mouseClick(window->btCreate, Qt::LeftButton);
    });
    QTest::mouseClick(window->btCreate, Qt::LeftButton);
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
    DuringRun edit([&] {
      if (typed || window->btCreate->isEnabled()) return;
      typed = true;
      window->Memo2->moveCursor(QTextCursor::End);
      QTest::keyClick(window->Memo2, Qt::Key_Return);
      QTest::keyClicks(window->Memo2, "new line");
    });
    QTest::mouseClick(window->btCreate, Qt::LeftButton);
  }
  QVERIFY(typed);
  QCOMPARE(window->Memo2->toPlainText(), "A | a | " + a);
}

void MainWindowTest::emptyBooksList() {
  auto window = MakeWindow();
  window->Memo2->setPlainText("");
  QTest::mouseClick(window->btCreate, Qt::LeftButton);
  QVERIFY(window->btCreate->isEnabled());
  QCOMPARE(window->BkPart->text(), QString());
  QVERIFY(errors_.isEmpty());
  QCOMPARE(QDir(work_->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size(), 0);
}

void MainWindowTest::manualTriggersCallSameOpener() {
  auto window = MakeWindow();
  const QString manual = ToQ(paths::ManualPath());
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
  window->Label3->setText("/elsewhere/manual.docx");
  QTest::mouseClick(window->Button1, Qt::LeftButton);
  QCOMPARE(opened_, QStringList{"/elsewhere/manual.docx"});
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

  QTest::mouseClick(window->btCreate, Qt::LeftButton);
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

}  // namespace quillavor::gui

QTEST_MAIN(quillavor::gui::MainWindowTest)
#include "main_window_test.moc"
