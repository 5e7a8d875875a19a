#pragma once

#include "faultinjector.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

// The fault rules of every unit of a run, kept in step: a rule goes on every unit under one id
// (units= narrows where it acts), is turned on or off and removed on all of them, and a rule that
// wears off (for=, times=) leaves all of them at once, with a line that says so.
//
// The units' counts and states stay each unit's own; totals() adds the counts up.
class FaultRuleSet : public QObject {
    Q_OBJECT

public:
    explicit FaultRuleSet(QObject* parent = nullptr);

    // The units' injectors; unit 0's rules are the ones shown. The injectors outlive the set's
    // use of them or are replaced before they go.
    void setInjectors(const QList<FaultInjector*>& injectors);
    const QList<FaultInjector*>& injectors() const { return m_injectors; }

    int add(const FaultRule& rule);
    bool remove(int id);
    bool setEnabled(int id, bool enabled);
    void clear();
    // Unit 0's rules, with its counts.
    QList<FaultInjector::Entry> rules() const;
    // Every rule with the counts of all units added up.
    QList<FaultInjector::Entry> totals() const;

signals:
    // A rule wore off and was removed; `text` says which and why.
    void ruleWornOff(int id, const QString& text);

private:
    void retire(int id);
    void retireExpired();
    void armExpiry();

    QList<FaultInjector*> m_injectors;
    QList<QMetaObject::Connection> m_connections;
    QTimer m_expiry;
};
