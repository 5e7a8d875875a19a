#include "controllersdialog.h"

#include "peertablemodel.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QTableView>
#include <QVBoxLayout>

namespace {
constexpr QSize kDefaultSize{1100, 360};
} // namespace

ControllersDialog::ControllersDialog(ScenarioSession& session, QWidget* parent)
    : QDialog(parent)
    , m_model(new PeerTableModel(session, this))
    , m_table(new QTableView(this))
{
    setWindowTitle(tr("Controllers"));
    setObjectName(QStringLiteral("ControllersDialog"));
    m_table->setObjectName(QStringLiteral("ControllersTable"));
    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_table->horizontalHeader()->setSectionResizeMode(PeerTableModel::Units, QHeaderView::Stretch);
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 6);
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);

    auto* hint = new QLabel(tr("A controller is an address and port that sent to the units. Malformed: not "
                               "29 bytes long, an unknown command, or no discovery request on the discovery "
                               "port (hover for which)."),
                            this);
    hint->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_table);
    layout->addWidget(hint);
    layout->addWidget(buttons);
    resize(kDefaultSize);
}
