#include "statusitem.h"

#include <QMessageBox>
#include <QMouseEvent>

StatusItem::StatusItem(const QString& objectName, QWidget* parent)
    : QLabel(parent)
{
    setObjectName(objectName);
    setCursor(Qt::PointingHandCursor);
}

void StatusItem::setTexts(const QString& shortText, const QString& wholeText)
{
    setText(shortText);
    m_whole = wholeText;
    setToolTip(wholeText);
}

void StatusItem::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !rect().contains(event->position().toPoint()))
        return QLabel::mouseReleaseEvent(event);
    emit clicked();
    if (m_ownClick)
        return;
    // Not modal: the units go on answering, and the box can stay open beside the log.
    auto* box = new QMessageBox(QMessageBox::Information, text(), m_whole, QMessageBox::Close, window());
    box->setObjectName(QStringLiteral("StatusDetails"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    box->setWindowModality(Qt::NonModal);
    box->show();
}

namespace statustext {
QString port(const QString& name, quint16 port, bool listening, const QString& bindError)
{
    const QString head = name + QLatin1Char(' ') + QString::number(port);
    if (listening)
        return head;
    return head + (bindError.contains(QStringLiteral("in use"), Qt::CaseInsensitive)
                       ? QObject::tr(" taken")
                       : QObject::tr(" closed"));
}

QString controlApi(int port)
{
    return port > 0 ? QObject::tr("API :%1").arg(port) : QObject::tr("API off");
}
} // namespace statustext
