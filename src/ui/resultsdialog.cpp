#include "resultsdialog.h"

#include "verify/expectationmonitor.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {
constexpr QSize kDefaultSize{1000, 420};
// What each check has looked at grows with every line; the states change by signal.
constexpr int kRefreshMs = 1000;
} // namespace

ResultsDialog::ResultsDialog(ExpectationMonitor& monitor, QWidget* parent)
    : QDialog(parent)
    , m_monitor(monitor)
    , m_summary(new QLabel(this))
    , m_tree(new QTreeWidget(this))
    , m_refresh(new QTimer(this))
{
    setWindowTitle(tr("Results"));
    setObjectName(QStringLiteral("ResultsDialog"));
    m_summary->setObjectName(QStringLiteral("ResultsSummary"));
    m_tree->setObjectName(QStringLiteral("ResultsTree"));
    m_tree->setColumnCount(ColumnCount);
    m_tree->setHeaderLabels({tr("Expectation"), tr("State"), tr("Details")});
    m_tree->header()->setSectionResizeMode(Name, QHeaderView::ResizeToContents);
    m_tree->header()->setSectionResizeMode(State, QHeaderView::ResizeToContents);
    m_tree->header()->setStretchLastSection(true);
    m_tree->setUniformRowHeights(true);
    connect(m_tree, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        const QVariant seq = item->data(Name, kSeqRole);
        if (seq.isValid())
            emit lineRequested(seq.toULongLong());
    });

    auto* hint = new QLabel(tr("Double-click a failure to select its log line. Durations and rates are the "
                               "scenario's time."),
                            this);
    hint->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_summary);
    layout->addWidget(m_tree);
    layout->addWidget(hint);
    layout->addWidget(buttons);
    resize(kDefaultSize);

    connect(&m_monitor, &ExpectationMonitor::changed, this, &ResultsDialog::refresh);
    m_refresh->setInterval(kRefreshMs);
    connect(m_refresh, &QTimer::timeout, this, &ResultsDialog::refresh);
    m_refresh->start();
    refresh();
}

void ResultsDialog::refresh()
{
    const QList<ExpectationResult>& results = m_monitor.results();
    if (!m_monitor.isActive()) {
        m_summary->setText(tr("The scenario states no expectations (an expect list in its file)."));
        m_tree->clear();
        return;
    }
    m_summary->setText(tr("Scenario %1: %2%3")
                           .arg(m_monitor.scenarioName(), m_monitor.summary(),
                                m_monitor.isFinished() ? tr(" (ended)") : QString()));
    // Items are updated in place, so that what is open and selected stays so.
    while (m_tree->topLevelItemCount() > results.size())
        delete m_tree->takeTopLevelItem(m_tree->topLevelItemCount() - 1);
    for (qsizetype k = 0; k < results.size(); ++k) {
        const ExpectationResult& result = results[k];
        QTreeWidgetItem* item = m_tree->topLevelItem(int(k));
        if (!item)
            item = new QTreeWidgetItem(m_tree);
        item->setText(Name, result.expectation.name);
        item->setText(State,
                      QString::fromLatin1(ExpectationResult::stateName(result.state)).replace(u'_', u' '));
        item->setText(Details,
                      result.expectation.text() +
                          (result.note.isEmpty() ? QString() : QStringLiteral(" — ") + result.note) +
                          (result.reason.isEmpty() ? QString() : QStringLiteral(" — ") + result.reason) +
                          (result.margin ? QStringLiteral(" — ") + result.marginText() : QString()));
        item->setToolTip(Details, item->text(Details));
        item->setForeground(State, result.state == ExpectationResult::State::Failed ? QColor(Qt::red)
                                   : result.state == ExpectationResult::State::Passed
                                       ? QColor(Qt::darkGreen)
                                       : palette().text().color());
        while (item->childCount() > result.failures.size())
            delete item->takeChild(item->childCount() - 1);
        for (qsizetype f = 0; f < result.failures.size(); ++f) {
            const ExpectationFailure& failure = result.failures[f];
            QTreeWidgetItem* child = item->child(int(f));
            if (!child)
                child = new QTreeWidgetItem(item);
            const QStringList evidence = failure.evidence();
            child->setText(Name, failure.unitText.isEmpty() ? failure.peer : failure.unitText);
            child->setText(State, tr("failure"));
            child->setText(Details, evidence.join(QStringLiteral(" — ")));
            child->setToolTip(Details, evidence.join(u'\n'));
            // The line that shows it best; without one, the event it relates to.
            if (!failure.seqs.isEmpty())
                child->setData(Name, kSeqRole, QVariant::fromValue<qulonglong>(failure.seqs.last()));
            else if (failure.eventSeq >= 0)
                child->setData(Name, kSeqRole, QVariant::fromValue<qulonglong>(quint64(failure.eventSeq)));
        }
    }
}
