#pragma once

#include "fault/faultrule.h"

#include <QDialog>

#include <optional>

class QDialogButtonBox;
class QLabel;
class QLineEdit;

// "Add Fault…": one rule, checked as it is typed, and the seed of every draw. OK stays disabled
// while the rule or the seed is malformed, and the message says which part is wrong. With no
// rule typed, OK only sets the seed.
class FaultDialog : public QDialog {
    Q_OBJECT

public:
    FaultDialog(quint64 seed, QWidget* parent = nullptr);

    // Valid once the dialog was accepted; none when only the seed was to be set.
    const std::optional<FaultRule>& rule() const { return m_rule; }
    quint64 seed() const { return m_seed; }

private:
    void validate();

    QLineEdit* m_ruleEdit = nullptr;
    QLineEdit* m_seedEdit = nullptr;
    QLabel* m_message = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
    std::optional<FaultRule> m_rule;
    quint64 m_seed = 0;
};
