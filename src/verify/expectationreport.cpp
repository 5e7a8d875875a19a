// How the results read: as JSON for the control API, as lines for standard error, and as JUnit
// XML for CI.
#include "expectationchecker.h"

#include <QJsonArray>
#include <QXmlStreamWriter>

using namespace expectcheck;
using namespace Qt::Literals::StringLiterals;

namespace {
// Failures of one expectation printed on standard error; the rest are counted.
constexpr qsizetype kReportedFailures = 3;
} // namespace

QJsonObject ExpectationFailure::toJson() const
{
    QJsonArray lines;
    for (const quint64 seq : seqs)
        lines.append(qint64(seq));
    QJsonObject json{{u"message"_s, message}, {u"time"_s, timeText(timeUs)}, {u"seqs"_s, lines}};
    if (unit >= 0) {
        json.insert(u"unit"_s, unit);
        json.insert(u"unitAddress"_s, unitText);
    }
    if (!peer.isEmpty())
        json.insert(u"peer"_s, peer);
    if (eventSeq >= 0)
        json.insert(u"event"_s, QJsonObject{{u"seq"_s, eventSeq}, {u"text"_s, eventText}});
    return json;
}

QStringList ExpectationFailure::evidence() const
{
    QStringList lines{message};
    QStringList what;
    what << u"at "_s + timeText(timeUs);
    if (unit >= 0)
        what << u"unit "_s + unitText;
    if (!peer.isEmpty())
        what << u"peer "_s + peer;
    if (!seqs.isEmpty()) {
        QStringList numbers;
        for (const quint64 seq : seqs)
            numbers << QString::number(seq);
        what << u"log lines "_s + numbers.join(u", ");
    }
    lines << what.join(u"; ");
    if (eventSeq >= 0)
        lines << QStringLiteral("after event (line %1): %2").arg(eventSeq).arg(eventText);
    return lines;
}

const char* ExpectationResult::stateName(State state)
{
    switch (state) {
    case State::Pending:
        return "pending";
    case State::Passed:
        return "passed";
    case State::Failed:
        return "failed";
    case State::NotExercised:
        return "not_exercised";
    }
    return "";
}

QString ExpectationMargin::percentText() const
{
    return QString::number(qRound(std::abs(fraction) * 100)) + u" %"_s;
}

QString ExpectationResult::marginText() const
{
    if (!margin)
        return {};
    if (margin->fraction < 0)
        return u"beyond its limit by "_s + margin->percentText() + u": "_s + margin->text;
    return margin->percentText() + u" from failing: "_s + margin->text;
}

QJsonObject ExpectationResult::toJson() const
{
    QJsonArray list;
    for (const ExpectationFailure& failure : failures)
        list.append(failure.toJson());
    QJsonObject json{{u"name"_s, expectation.name},
                     {u"check"_s, QLatin1String(ExpectationDefinition::checkName(expectation.check))},
                     {u"value"_s, expectation.value},
                     {u"text"_s, expectation.text()},
                     {u"state"_s, QLatin1String(stateName(state))},
                     {u"note"_s, note},
                     {u"failureCount"_s, qint64(failureCount)},
                     {u"failures"_s, list},
                     {u"reason"_s, reason}};
    if (margin)
        json.insert(u"margin"_s, QJsonObject{{u"fraction"_s, std::round(margin->fraction * 1000) / 1000},
                                             {u"text"_s, margin->text}});
    return json;
}

QString ExpectationMonitor::summary() const
{
    int counts[4] = {};
    for (const ExpectationResult& result : m_results)
        ++counts[int(result.state)];
    QString text = QStringLiteral("%1 expectation%2: %3 passed, %4 failed")
                       .arg(m_results.size())
                       .arg(m_results.size() == 1 ? QString() : u"s"_s)
                       .arg(counts[int(ExpectationResult::State::Passed)])
                       .arg(counts[int(ExpectationResult::State::Failed)]);
    if (counts[int(ExpectationResult::State::NotExercised)] > 0)
        text += QStringLiteral(", %1 not exercised").arg(counts[int(ExpectationResult::State::NotExercised)]);
    if (counts[int(ExpectationResult::State::Pending)] > 0)
        text += QStringLiteral(", %1 pending").arg(counts[int(ExpectationResult::State::Pending)]);
    return text;
}

QStringList ExpectationMonitor::report() const
{
    QStringList lines{summary()};
    for (const ExpectationResult& result : m_results) {
        if (result.state == ExpectationResult::State::NotExercised) {
            lines << QStringLiteral("NOT EXERCISED %1 (%2: %3): %4")
                         .arg(result.expectation.name,
                              QLatin1String(ExpectationDefinition::checkName(result.expectation.check)),
                              result.expectation.text(), result.reason);
            continue;
        }
        // A pass that came near failing is worth a line: the next run may not be so lucky.
        if (result.state == ExpectationResult::State::Passed && result.margin &&
            result.margin->fraction < ExpectationMargin::kClose)
            lines << QStringLiteral("CLOSE %1 (%2: %3): passed, %4")
                         .arg(result.expectation.name,
                              QLatin1String(ExpectationDefinition::checkName(result.expectation.check)),
                              result.expectation.text(), result.marginText());
        if (result.state != ExpectationResult::State::Failed)
            continue;
        lines << QStringLiteral("FAILED %1 (%2: %3): %4 time%5")
                     .arg(result.expectation.name,
                          QLatin1String(ExpectationDefinition::checkName(result.expectation.check)),
                          result.expectation.text())
                     .arg(result.failureCount)
                     .arg(result.failureCount == 1 ? QString() : u"s"_s);
        // A few to read; the whole evidence is in the JUnit report and the control API.
        const qsizetype shown = std::min(result.failures.size(), kReportedFailures);
        for (qsizetype f = 0; f < shown; ++f) {
            const QStringList evidence = result.failures[f].evidence();
            for (qsizetype k = 0; k < evidence.size(); ++k)
                lines << (k == 0 ? u"  - "_s : u"    "_s) + evidence[k];
        }
        if (result.failureCount > quint64(shown))
            lines << QStringLiteral("  ... and %1 more (all of them: --report, GET /api/v1/expectations)")
                         .arg(result.failureCount - quint64(shown));
        if (result.failuresByUnit.size() > 1) {
            QStringList counts;
            for (auto it = result.failuresByUnit.cbegin(); it != result.failuresByUnit.cend(); ++it)
                counts << QStringLiteral("%1 %2")
                              .arg(it.key().isEmpty() ? u"no one unit"_s : it.key())
                              .arg(it.value());
            lines << u"  by unit: "_s + counts.join(u", "_s);
        }
    }
    return lines;
}

QJsonObject ExpectationMonitor::toJson() const
{
    QJsonArray list;
    for (const ExpectationResult& result : m_results)
        list.append(result.toJson());
    QJsonObject json{{u"scenario"_s, m_scenarioName},
                     {u"state"_s, !m_started   ? u"waiting"_s
                                  : m_finished ? u"ended"_s
                                               : u"running"_s},
                     {u"summary"_s, summary()},
                     {u"passed"_s, m_finished && failedCount() == 0},
                     {u"expectations"_s, list}};
    if (m_started)
        json.insert(u"from"_s, qint64(m_startSeq));
    return json;
}

QByteArray ExpectationMonitor::junitXml() const
{
    QByteArray xml;
    QXmlStreamWriter out(&xml);
    out.setAutoFormatting(true);
    out.writeStartDocument();
    const QString suite = m_scenarioName.isEmpty() ? u"scenario"_s : m_scenarioName;
    const QString failures = QString::number(failedCount());
    const QString tests = QString::number(m_results.size());
    const QString seconds = QString::number(runSeconds(), 'f', 3);
    out.writeStartElement(u"testsuites"_s);
    out.writeAttribute(u"name"_s, u"unit-simulator expectations"_s);
    out.writeAttribute(u"tests"_s, tests);
    out.writeAttribute(u"failures"_s, failures);
    out.writeAttribute(u"time"_s, seconds);
    out.writeStartElement(u"testsuite"_s);
    out.writeAttribute(u"name"_s, suite);
    out.writeAttribute(u"tests"_s, tests);
    out.writeAttribute(u"failures"_s, failures);
    out.writeAttribute(u"errors"_s, u"0"_s);
    out.writeAttribute(
        u"skipped"_s,
        QString::number(std::count_if(m_results.cbegin(), m_results.cend(), [](const ExpectationResult& r) {
            return r.state == ExpectationResult::State::Pending ||
                   r.state == ExpectationResult::State::NotExercised;
        })));
    out.writeAttribute(u"time"_s, seconds);
    if (m_started)
        out.writeAttribute(u"timestamp"_s, timeText(m_startUs));
    for (const ExpectationResult& result : m_results) {
        out.writeStartElement(u"testcase"_s);
        out.writeAttribute(u"name"_s, result.expectation.name);
        out.writeAttribute(u"classname"_s,
                           suite + u'.' +
                               QLatin1String(ExpectationDefinition::checkName(result.expectation.check)));
        out.writeAttribute(u"time"_s, seconds);
        if (result.margin) {
            out.writeStartElement(u"properties"_s);
            out.writeStartElement(u"property"_s);
            out.writeAttribute(u"name"_s, u"margin"_s);
            out.writeAttribute(u"value"_s, QString::number(result.margin->fraction, 'f', 3));
            out.writeEndElement();
            out.writeEndElement();
        }
        if (result.state == ExpectationResult::State::Failed) {
            out.writeStartElement(u"failure"_s);
            out.writeAttribute(u"message"_s, result.failures.isEmpty() ? result.expectation.text()
                                                                       : result.failures.first().message);
            out.writeAttribute(u"type"_s,
                               QLatin1String(ExpectationDefinition::checkName(result.expectation.check)));
            QString text = QStringLiteral("failed %1 time%2: %3\n")
                               .arg(result.failureCount)
                               .arg(result.failureCount == 1 ? QString() : u"s"_s, result.expectation.text());
            for (const ExpectationFailure& failure : result.failures)
                text += u"- "_s + failure.evidence().join(u"\n  "_s) + u'\n';
            if (result.failureCount > quint64(result.failures.size()))
                text += QStringLiteral("... and %1 more\n")
                            .arg(result.failureCount - quint64(result.failures.size()));
            out.writeCharacters(text);
            out.writeEndElement();
        } else if (result.state == ExpectationResult::State::Pending) {
            out.writeStartElement(u"skipped"_s);
            out.writeAttribute(u"message"_s, u"the run has not ended"_s);
            out.writeEndElement();
        } else if (result.state == ExpectationResult::State::NotExercised) {
            out.writeStartElement(u"skipped"_s);
            out.writeAttribute(u"message"_s, u"not exercised: "_s + result.reason);
            out.writeEndElement();
        }
        out.writeTextElement(u"system-out"_s,
                             result.expectation.text() + u"\n"_s + result.note +
                                 (result.margin ? u"\n"_s + result.marginText() : QString()));
        out.writeEndElement();
    }
    out.writeEndElement();
    out.writeEndElement();
    out.writeEndDocument();
    return xml;
}
