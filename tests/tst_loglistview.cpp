// The traffic log's list view: uniform rows, following the newest line, keeping the reader's place.
#include "log/trafficlogmodel.h"
#include "ui/loglistview.h"

#include <QScrollBar>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {
void addLines(TrafficLogModel& model, int count, int firstPort = 1)
{
    for (int i = 0; i < count; ++i)
        model.append(TrafficLogEntry::discoveryIncoming(0x7f000001u, 50000, quint16(firstPort + i), "X", 0));
}
} // namespace

class TestLogListView : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void rowsAreUniformAndHitTestable();
    void atTheTopItFollowsTheNewestLine();
    void scrolledDownItKeepsTheLinesInView();
    void keyboardMovesTheSelection();
    void clickSelectsTheRowUnderTheMouse();
    void clearResetsScrolling();
    void wideLinesScrollSideways();

private:
    std::unique_ptr<TrafficLogModel> m_model;
    std::unique_ptr<LogListView> m_view;
};

void TestLogListView::init()
{
    m_model = std::make_unique<TrafficLogModel>();
    m_view = std::make_unique<LogListView>();
    m_view->setModel(m_model.get());
    m_view->resize(400, 10 * m_view->rowHeight() + 2 * m_view->frameWidth());
    m_view->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
}

void TestLogListView::cleanup()
{
    m_view.reset();
    m_model.reset();
}

void TestLogListView::rowsAreUniformAndHitTestable()
{
    addLines(*m_model, 50);
    const int h = m_view->rowHeight();
    QCOMPARE(m_view->indexAt(QPoint(5, 0)).row(), 0);
    QCOMPARE(m_view->indexAt(QPoint(5, 3 * h + 1)).row(), 3);
    QCOMPARE(m_view->visualRect(m_model->index(4)), QRect(0, 4 * h, m_view->viewport()->width(), h));
    QVERIFY(!m_view->indexAt(QPoint(5, -1)).isValid());
    QCOMPARE(m_view->verticalScrollBar()->maximum(), 50 - 10);
}

void TestLogListView::atTheTopItFollowsTheNewestLine()
{
    addLines(*m_model, 30);
    QCOMPARE(m_view->firstVisibleRow(), 0);
    addLines(*m_model, 5, 100);
    QCOMPARE(m_view->firstVisibleRow(), 0);
    QCOMPARE(m_view->indexAt(QPoint(5, 1)).data().toString(), u"--> 127.0.0.1:104 - X"_s);
}

void TestLogListView::scrolledDownItKeepsTheLinesInView()
{
    addLines(*m_model, 30);
    m_view->verticalScrollBar()->setValue(12);
    const QString shown = m_view->indexAt(QPoint(5, 1)).data().toString();
    addLines(*m_model, 7, 100);
    QCOMPARE(m_view->firstVisibleRow(), 19);
    QCOMPARE(m_view->indexAt(QPoint(5, 1)).data().toString(), shown);
}

void TestLogListView::keyboardMovesTheSelection()
{
    addLines(*m_model, 30);
    m_view->setFocus();
    m_view->setCurrentIndex(m_model->index(0));
    QTest::keyClick(m_view.get(), Qt::Key_Down);
    QCOMPARE(m_view->currentIndex().row(), 1);
    QTest::keyClick(m_view.get(), Qt::Key_End);
    QCOMPARE(m_view->currentIndex().row(), 29);
    QVERIFY(m_view->firstVisibleRow() > 0); // scrolled to show it
    QTest::keyClick(m_view.get(), Qt::Key_Home);
    QCOMPARE(m_view->currentIndex().row(), 0);
    QCOMPARE(m_view->firstVisibleRow(), 0);
}

void TestLogListView::clickSelectsTheRowUnderTheMouse()
{
    addLines(*m_model, 30);
    const int h = m_view->rowHeight();
    QTest::mouseClick(m_view->viewport(), Qt::LeftButton, {}, QPoint(10, 2 * h + h / 2));
    const QModelIndexList selected = m_view->selectionModel()->selectedIndexes();
    QCOMPARE(selected.size(), 1);
    QCOMPARE(selected.first().row(), 2);
}

void TestLogListView::clearResetsScrolling()
{
    addLines(*m_model, 30);
    m_view->verticalScrollBar()->setValue(10);
    m_model->clear();
    QCOMPARE(m_view->verticalScrollBar()->maximum(), 0);
    QCOMPARE(m_view->firstVisibleRow(), 0);
    QVERIFY(!m_view->indexAt(QPoint(5, 1)).isValid());
}

void TestLogListView::wideLinesScrollSideways()
{
    // A fleet unit's fault line, far wider than the view: shown whole, a scroll away.
    const QString note =
        u"drop,on=channel-query,units=127.0.200.200: request from 127.0.0.1:50000 dropped "_s +
        QString(60, u'x') + u" the end"_s;
    m_model->appendFrom(0, TrafficLogEntry::fault(TrafficLogEntry::Kind::UnitFault, 0x7f000001u, 50000, 0,
                                                  note, FaultKind::ChannelQuery));
    m_model->publishPending();
    const QString line = m_model->lineAt(0);
    const int lineWidth = m_view->fontMetrics().horizontalAdvance(line);
    QVERIFY(lineWidth > m_view->viewport()->width());
    m_view->grab(); // painted once: the line's width is known
    QScrollBar* across = m_view->horizontalScrollBar();
    QVERIFY2(across->maximum() >= lineWidth - m_view->viewport()->width(),
             qPrintable(u"%1 < %2"_s.arg(across->maximum()).arg(lineWidth - m_view->viewport()->width())));
    QCOMPARE(m_view->textElideMode(), Qt::ElideNone);
    across->setValue(across->maximum());
    const QRect row = m_view->visualRect(m_model->index(0));
    QCOMPARE(row.left(), -across->maximum());
    QVERIFY(row.right() >= m_view->viewport()->width() - 1); // its end is in view
    // Clicking on the scrolled row still selects it.
    QCOMPARE(m_view->indexAt(QPoint(5, 1)).row(), 0);
}

QTEST_MAIN(TestLogListView)
#include "tst_loglistview.moc"
