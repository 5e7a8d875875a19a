#include "unitsdialog.h"

#include "scenario/scenariosession.h"
#include "unittablemodel.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QTableView>
#include <QVBoxLayout>

namespace {
constexpr QSize kDefaultSize{1000, 460};
// Wide enough for a profile's whole label, "6  CVD driver, 12 channels, port 4005".
constexpr int kProfileColumnWidth = 280;
} // namespace

UnitsDialog::UnitsDialog(ScenarioSession& session, int selectedUnit, QWidget* parent)
    : QDialog(parent)
    , m_model(new UnitTableModel(session, this))
    , m_table(new QTableView(this))
{
    setWindowTitle(tr("Units"));
    setObjectName(QStringLiteral("UnitsDialog"));
    m_table->setObjectName(QStringLiteral("UnitsTable"));
    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->horizontalHeader()->setStretchLastSection(false);
    m_table->horizontalHeader()->setSectionResizeMode(UnitTableModel::Channels, QHeaderView::Stretch);
    m_table->setColumnWidth(UnitTableModel::Profile, kProfileColumnWidth);
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 6);
    // Thousands of rows: a fixed row height keeps scrolling cheap.
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);

    auto* hint = new QLabel(tr("The profile selector of the main window shows and changes the profile of "
                               "the unit selected here."),
                            this);
    hint->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_table);
    layout->addWidget(hint);
    layout->addWidget(buttons);
    resize(kDefaultSize);

    const auto select = [this](int row) {
        if (row >= 0 && row < m_model->rowCount())
            m_table->selectRow(row);
    };
    select(selectedUnit);
    connect(m_table->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                if (current.isValid())
                    emit unitSelected(current.row());
            });
    // New units: the first is selected again, as the window does.
    connect(m_model, &QAbstractItemModel::modelReset, this, [select] { select(0); });
}
