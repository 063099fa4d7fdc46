#include "ui/ElidedLabel.h"

#include <algorithm>

#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QToolTip>

namespace ui {

QString ElidedLabel::shownText() const
{
    return fontMetrics().elidedText(text(), Qt::ElideMiddle, contentsRect().width());
}

void ElidedLabel::setMaximumShare(double share)
{
    m_share = std::clamp(share, 0.0, 1.0);
    // The share follows the parent's width.
    if (parentWidget())
        parentWidget()->installEventFilter(this);
    updateGeometry();
}

void ElidedLabel::setTakesWhatIsLeft(bool takes)
{
    m_takesWhatIsLeft = takes;
    updateGeometry();
}

QSize ElidedLabel::sizeHint() const
{
    if (m_takesWhatIsLeft)
        return minimumSizeHint();
    QSize size = QLabel::sizeHint();
    if (m_share < 1.0 && parentWidget())
        size.setWidth(std::max(minimumSizeHint().width(),
                               std::min(size.width(), static_cast<int>(parentWidget()->width() * m_share))));
    return size;
}

QSize ElidedLabel::minimumSizeHint() const
{
    QSize size = QLabel::minimumSizeHint();
    const QMargins margins = contentsMargins();
    size.setWidth(std::min(size.width(),
                           fontMetrics().horizontalAdvance(QStringLiteral("Wwww\u2026")) + margins.left() + margins.right()));
    return size;
}

bool ElidedLabel::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip && toolTip().isEmpty()) {
        if (shownText() != text())
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), text(), this);
        else
            QToolTip::hideText();
        return true;
    }
    return QLabel::event(event);
}

bool ElidedLabel::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parentWidget() && event->type() == QEvent::Resize)
        updateGeometry();
    return QLabel::eventFilter(watched, event);
}

void ElidedLabel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    drawFrame(&painter);
    style()->drawItemText(&painter, contentsRect(), QStyle::visualAlignment(layoutDirection(), alignment()), palette(),
                          isEnabled(), shownText(), foregroundRole());
}

} // namespace ui
