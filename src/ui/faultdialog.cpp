#include "faultdialog.h"

#include "app/simulatoroptionvalues.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

FaultDialog::FaultDialog(quint64 seed, QWidget* parent)
    : QDialog(parent)
    , m_seed(seed)
{
    setObjectName(QStringLiteral("FaultDialog"));
    setWindowTitle(tr("Add Fault"));

    m_ruleEdit = new QLineEdit(this);
    m_ruleEdit->setObjectName(QStringLiteral("FaultRuleEdit"));
    m_ruleEdit->setPlaceholderText(QStringLiteral("drop,on=channel-query,every=3"));
    m_ruleEdit->setMaxLength(FaultRule::kMaxTextLength * 2); // long enough to be told it is too long
    m_seedEdit = new QLineEdit(QString::number(seed), this);
    m_seedEdit->setObjectName(QStringLiteral("FaultSeedEdit"));
    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("FaultRuleMessage"));
    m_message->setWordWrap(true);
    auto* help = new QLabel(faultRuleHelp(), this);
    help->setObjectName(QStringLiteral("FaultRuleHelp"));
    help->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    help->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);

    auto* form = new QFormLayout;
    form->addRow(tr("&Rule:"), m_ruleEdit);
    form->addRow(tr("&Seed:"), m_seedEdit);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_message);
    layout->addWidget(help);
    layout->addWidget(m_buttons);

    connect(m_ruleEdit, &QLineEdit::textChanged, this, &FaultDialog::validate);
    connect(m_seedEdit, &QLineEdit::textChanged, this, &FaultDialog::validate);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    validate();
}

void FaultDialog::validate()
{
    QString message;
    bool valid = true;
    m_rule.reset();
    if (m_ruleEdit->text().trimmed().isEmpty()) {
        message = tr("Type a rule, for example drop,on=channel-query,every=3. Without one, OK only sets "
                     "the seed.");
    } else if ((m_rule = FaultRule::parse(m_ruleEdit->text(), &message))) {
        // The window's unit is the single unit: a rule for other units would never act.
        message = m_rule->unitsProblem({0});
        valid = message.isEmpty();
        if (valid)
            message = tr("The rule is valid.");
        else
            m_rule.reset();
    } else {
        valid = false;
    }
    if (const std::optional<quint64> seed = parseSeed(m_seedEdit->text())) {
        m_seed = *seed;
    } else {
        message += QLatin1Char('\n') + tr("The seed must be a whole number from 0 to 18446744073709551615.");
        valid = false;
    }
    m_message->setText(message.trimmed());
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(valid);
}
