#pragma once

#include <QLabel>
#include <QString>

// One concern in the window's status bar: a short text the bar has room for at any window size
// ("Port 4000 taken", "API :43121", "Scenario 4.4/12 s", "Verdict: 1 failed"), and the whole text
// on hover and on click. A click shows it in a box of its own, where it can be read at leisure and
// copied; an item that has more to show than its text (the verdict) says so with clicked() and
// takes over the click.
class StatusItem : public QLabel {
    Q_OBJECT

public:
    StatusItem(const QString& objectName, QWidget* parent);

    void setTexts(const QString& shortText, const QString& wholeText);
    const QString& wholeText() const { return m_whole; }
    // Clicks emit clicked() only, instead of showing the whole text.
    void setOwnClick(bool own) { m_ownClick = own; }

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QString m_whole;
    bool m_ownClick = false;
};

// The short texts of the items, from what the whole texts are made of.
namespace statustext {
// "Port 4000", "Port 4000 taken" (another program has it), "Port 4000 closed" (any other reason).
QString port(const QString& name, quint16 port, bool listening, const QString& bindError);
// "API :43121", or "API off" when it could not listen.
QString controlApi(int port);
} // namespace statustext
