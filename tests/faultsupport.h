#pragma once

#include "fault/faultrule.h"

#include <QList>
#include <QString>

#include <vector>

// A rule the test knows to be valid; a typo in the test ends it at once, naming the rule.
inline FaultRule validRule(const QString& text)
{
    QString error;
    const std::optional<FaultRule> parsed = FaultRule::parse(text, &error);
    if (!parsed)
        qFatal("'%s' does not parse: %s", qPrintable(text), qPrintable(error));
    return *parsed;
}

// The lengths of the runs of consecutive losses, in order.
inline QList<int> lossRuns(const std::vector<bool>& lost)
{
    QList<int> runs;
    int length = 0;
    for (const bool one : lost) {
        if (one) {
            ++length;
        } else if (length > 0) {
            runs << length;
            length = 0;
        }
    }
    if (length > 0)
        runs << length;
    return runs;
}
