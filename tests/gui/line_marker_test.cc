// The in-progress marker of the books list: where it goes and how it leaves.
#include "app/gui/line_marker.h"

#include <QTest>

namespace quillavor::gui {

class LineMarkerTest : public QObject {
  Q_OBJECT

 private slots:
  void markLine_data() {
    QTest::addColumn<QString>("list");
    QTest::addColumn<QString>("piece");
    QTest::addColumn<QString>("marked");
    QTest::newRow("the line alone") << "A | a | a.txt\nB | b | b.txt"
                                    << "B | b | b.txt"
                                    << "A | a | a.txt\n-->B | b | b.txt";
    QTest::newRow("two identical lines both marked") << "A | a | a.txt\nA | a | a.txt"
                                                     << "A | a | a.txt"
                                                     << "-->A | a | a.txt\n-->A | a | a.txt";
    QTest::newRow("text inside another line marked there too")
        << "Bible | B | b.txt\nOld Bible | B | b.txt"
        << "Bible | B | b.txt"
        << "-->Bible | B | b.txt\nOld -->Bible | B | b.txt";
    QTest::newRow("case-sensitive") << "note\nNOTE"
                                    << "note"
                                    << "-->note\nNOTE";
    QTest::newRow("overlapping text marked once per match") << "aaa"
                                                            << "aa"
                                                            << "-->aaa";
    QTest::newRow("piece absent") << "A\nB"
                                  << "C"
                                  << "A\nB";
    QTest::newRow("empty piece changes nothing") << "A\nB"
                                                 << ""
                                                 << "A\nB";
  }
  void markLine() {
    QFETCH(QString, list);
    QFETCH(QString, piece);
    QFETCH(QString, marked);
    QCOMPARE(QString::fromStdU16String(MarkLine(list.toStdU16String(), piece.toStdU16String())),
             marked);
  }

  void unmarkLines_data() {
    QTest::addColumn<QString>("marked");
    QTest::addColumn<QString>("unmarked");
    QTest::newRow("the marker just set") << "-->A | a | a.txt\nB"
                                         << "A | a | a.txt\nB";
    QTest::newRow("markers typed by the operator too") << "x --> y\n-->A\n-->"
                                                       << "x  y\nA\n";
    QTest::newRow("nothing to remove") << "A -> B"
                                       << "A -> B";
  }
  void unmarkLines() {
    QFETCH(QString, marked);
    QFETCH(QString, unmarked);
    QCOMPARE(QString::fromStdU16String(UnmarkLines(marked.toStdU16String())), unmarked);
  }
};

}  // namespace quillavor::gui

QTEST_APPLESS_MAIN(quillavor::gui::LineMarkerTest)
#include "line_marker_test.moc"
