#pragma once

#include <QStyledItemDelegate>

class QAbstractItemView;
class QFontMetrics;

namespace ui {

// Draws a cell's text on up to `lines` lines: whole when it fits, wrapped at
// word boundaries when that fits, and otherwise the start of the text on the
// first lines and its end on the last, with an ellipsis where the middle was
// left out. A progress text keeps its percentage and a failure keeps the
// start of what was attempted and the end of the reason; the whole text is
// in the tooltip. GUI thread only.
class WrappedTextDelegate final : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit WrappedTextDelegate(int lines, QObject* parent = nullptr);

    // The lines drawn for `text` in `width` pixels with `metrics`.
    static QStringList Fit(const QString& text, const QFontMetrics& metrics, int width, int lines);

    // The lines this delegate draws for `index` of `view`, at its current size.
    QStringList shownLines(const QAbstractItemView& view, const QModelIndex& index) const;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    // The rectangle the text goes in, inside the style's margins.
    static QRect TextRect(const QStyleOptionViewItem& option);

    int m_lines;
};

} // namespace ui
