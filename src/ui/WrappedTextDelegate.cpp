#include "ui/WrappedTextDelegate.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QStyle>

namespace ui {

namespace {

// Greedy word wrap; a word wider than the line is broken where it must be.
QStringList Wrap(const QString& text, const QFontMetrics& metrics, int width)
{
    QStringList lines;
    QString line;
    const auto breakLongLine = [&] {
        while (metrics.horizontalAdvance(line) > width && line.size() > 1) {
            int fits = 1;
            while (fits < line.size() && metrics.horizontalAdvance(line.left(fits + 1)) <= width)
                ++fits;
            lines << line.left(fits);
            line = line.mid(fits);
        }
    };
    for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QString candidate = line.isEmpty() ? word : line + QLatin1Char(' ') + word;
        if (metrics.horizontalAdvance(candidate) <= width) {
            line = candidate;
            continue;
        }
        if (!line.isEmpty())
            lines << line;
        line = word;
        breakLongLine();
    }
    if (!line.isEmpty())
        lines << line;
    return lines;
}

} // namespace

WrappedTextDelegate::WrappedTextDelegate(int lines, QObject* parent)
    : QStyledItemDelegate(parent)
    , m_lines(std::max(1, lines))
{
}

QStringList WrappedTextDelegate::Fit(const QString& text, const QFontMetrics& metrics, int width, int lines)
{
    if (text.isEmpty() || width <= 0)
        return {};
    if (metrics.horizontalAdvance(text) <= width)
        return {text};
    if (lines <= 1)
        return {metrics.elidedText(text, Qt::ElideMiddle, width)};
    QStringList wrapped = Wrap(text, metrics, width);
    if (wrapped.size() <= lines)
        return wrapped;
    // The first lines as wrapped, and the end of the text on the last one.
    QStringList shown = wrapped.mid(0, lines - 1);
    const QString rest = wrapped.mid(lines - 1).join(QLatin1Char(' '));
    shown << metrics.elidedText(rest, Qt::ElideLeft, width);
    return shown;
}

QRect WrappedTextDelegate::TextRect(const QStyleOptionViewItem& option)
{
    const QStyle* style = option.widget ? option.widget->style() : QApplication::style();
    QRect rect = style->subElementRect(QStyle::SE_ItemViewItemText, &option, option.widget);
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, option.widget) + 1;
    return rect.adjusted(margin, 0, -margin, 0);
}

QStringList WrappedTextDelegate::shownLines(const QAbstractItemView& view, const QModelIndex& index) const
{
    QStyleOptionViewItem option;
    option.initFrom(view.viewport());
    option.widget = &view;
    option.rect = view.visualRect(index);
    option.font = view.font();
    option.fontMetrics = view.fontMetrics();
    const int icon = view.style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, &view);
    option.decorationSize = view.iconSize().isValid() ? view.iconSize() : QSize(icon, icon);
    initStyleOption(&option, index);
    return Fit(option.text, option.fontMetrics, TextRect(option).width(), m_lines);
}

void WrappedTextDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    const QRect rect = TextRect(cell);
    const QStringList lines = Fit(cell.text, cell.fontMetrics, rect.width(), m_lines);
    cell.text.clear();
    const QStyle* style = cell.widget ? cell.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, cell.widget);

    const QPalette::ColorGroup group = !(cell.state & QStyle::State_Enabled) ? QPalette::Disabled
        : (cell.state & QStyle::State_Active)                                ? QPalette::Normal
                                                                             : QPalette::Inactive;
    const QPalette::ColorRole role = cell.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text;
    const int lineHeight = cell.fontMetrics.lineSpacing();
    int top = rect.top() + (rect.height() - lineHeight * static_cast<int>(lines.size())) / 2;
    painter->save();
    painter->setFont(cell.font);
    painter->setPen(cell.palette.color(group, role));
    painter->setClipRect(cell.rect);
    for (const QString& line : lines) {
        painter->drawText(QRect(rect.left(), top, rect.width(), lineHeight), Qt::AlignLeft | Qt::AlignVCenter, line);
        top += lineHeight;
    }
    painter->restore();
}

QSize WrappedTextDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(std::max(size.height(), option.fontMetrics.lineSpacing() * m_lines + 4));
    return size;
}

} // namespace ui
