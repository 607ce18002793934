// The run report: warning texts taken apart into the log's columns.
#include "app/gui/run_report.h"

#include <QTest>

namespace quillavor::gui {

class RunReportTest : public QObject {
  Q_OBJECT

 private slots:
  void diagnosticFromText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("code");
    QTest::addColumn<qint64>("line");
    QTest::addColumn<QString>("message");
    QTest::newRow("line only") << "line 12: the text" << "" << qint64{12} << "the text";
    QTest::newRow("code and line") << "missing-image: line 3: the image file"
                                   << "missing-image" << qint64{3} << "the image file";
    QTest::newRow("code only") << "module-elsewhere: the module file \"a: b\""
                               << "module-elsewhere" << qint64{0}
                               << "the module file \"a: b\"";
    QTest::newRow("no number after line") << "line x: text" << "" << qint64{0} << "line x: text";
    QTest::newRow("no space after the colon") << "line 4:text" << "" << qint64{0} << "line 4:text";
    QTest::newRow("capital letters are no code") << "Line 4: text" << "" << qint64{0}
                                                 << "Line 4: text";
    QTest::newRow("a code takes one word") << "two words: text" << "" << qint64{0}
                                           << "two words: text";
    QTest::newRow("a number too long for a line") << "line 1234567890123456789012: t" << ""
                                                  << qint64{0} << "line 1234567890123456789012: t";
    QTest::newRow("empty") << "" << "" << qint64{0} << "";
  }
  void diagnosticFromText() {
    QFETCH(QString, text);
    QFETCH(QString, code);
    QFETCH(qint64, line);
    QFETCH(QString, message);
    const LogDiagnostic d = DiagnosticFromText(text.toStdU16String(), u"/src/a.txt");
    QCOMPARE(QString::fromStdU16String(d.code), code);
    QCOMPARE(d.line, line);
    QCOMPARE(QString::fromStdU16String(d.message), message);
    QCOMPARE(d.file, std::u16string(u"/src/a.txt"));
    QVERIFY(!d.error);
  }
};

}  // namespace quillavor::gui

QTEST_MAIN(quillavor::gui::RunReportTest)
#include "run_report_test.moc"
