#pragma once

#include <QLabel>

namespace ui {

// A one-line label of the status bar that gives way when the window is
// narrow: text() stays whole, what is drawn loses its middle to an ellipsis,
// and the tooltip shows the whole text while it is cut. A plain QLabel
// insists on its whole width and pushes its neighbours out of the window.
// GUI thread only.
class ElidedLabel final : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;

    // The text as drawn at the label's current width.
    QString shownText() const;

    // Asks for no more than `share` (0..1) of its parent's width, so that a
    // long text leaves its neighbours their room; 1 (the default): the
    // width of its whole text.
    void setMaximumShare(double share);
    // Asks for no room of its own: with a stretch, it takes what its
    // neighbours leave.
    void setTakesWhatIsLeft(bool takes);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    double m_share = 1.0;
    bool m_takesWhatIsLeft = false;
};

} // namespace ui
