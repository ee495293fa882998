#include "customer/Widgets.h"

#include "customer/Pictures.h"

#include <QAction>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>

namespace {
// One wave lights up after the other; the banner only redraws the waves.
constexpr int kWaveSteps = 6;
constexpr int kWaveIntervalMs = 300;
} // namespace

TorvBanner::TorvBanner(QWidget* parent) : QWidget(parent), FBackground(orvPicture(TorvPicture::Banner))
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    FAnimation.setInterval(kWaveIntervalMs);
    connect(&FAnimation, &QTimer::timeout, this, [this] {
        FPhase = (FPhase + 1) % kWaveSteps;
        update(WaveRect());
    });
}

QPointF TorvBanner::WaveCentre() const
{
    return {width() - 48.0, height() / 2.0 + 8};
}

QRect TorvBanner::WaveRect() const
{
    const QPointF centre = WaveCentre();
    constexpr double outer = 9.0 + 2 * 7.0 + 2.0; // the largest wave and its pen
    return QRectF(centre.x() - outer, centre.y() - outer, 2 * outer, 2 * outer).toAlignedRect();
}

// The picture and the name do not change: drawn once per size, as text
// shaping is what an animation frame would cost most.
void TorvBanner::RenderStill()
{
    const qreal ratio = devicePixelRatioF();
    FStill = QPixmap(size() * ratio);
    FStill.setDevicePixelRatio(ratio);
    QPainter p(&FStill);
    p.setRenderHint(QPainter::Antialiasing);
    p.drawPixmap(rect(), FBackground);

    QFont name = font();
    name.setPixelSize(24);
    name.setBold(true);
    p.setFont(name);
    p.setPen(Qt::white);
    const int baseline = height() / 2 + 4;
    p.drawText(QPoint(18, baseline), QStringLiteral("Orvalis"));
    const int nameWidth = QFontMetrics(name).horizontalAdvance(QStringLiteral("Orvalis "));

    QFont tag = font();
    tag.setPixelSize(13);
    p.setFont(tag);
    p.setPen(QColor(210, 232, 240));
    p.drawText(QPoint(18 + nameWidth, baseline), QStringLiteral("remote support"));
}

void TorvBanner::paintEvent(QPaintEvent* event)
{
    if (FStill.deviceIndependentSize().toSize() != size() || FStill.devicePixelRatio() != devicePixelRatioF())
        RenderStill();
    QPainter p(this);
    p.setClipRegion(event->region());
    p.drawPixmap(0, 0, FStill);

    // Three waves around a dot, each brightening in turn.
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF centre = WaveCentre();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 230));
    p.drawEllipse(centre, 3.5, 3.5);
    for (int i = 0; i < 3; ++i) {
        const int alpha = (i == FPhase || i + 3 == FPhase) ? 230 : 90;
        QPen pen(QColor(255, 255, 255, alpha), 2.2);
        pen.setCapStyle(Qt::RoundCap);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        const double r = 9.0 + i * 7.0;
        const QRectF box(centre.x() - r, centre.y() - r, 2 * r, 2 * r);
        p.drawArc(box, 45 * 16, 90 * 16);
    }
}

void TorvBanner::changeEvent(QEvent* event)
{
    // The name is drawn in the widget's font: a new font or style draws it anew.
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        FStill = QPixmap();
    QWidget::changeEvent(event);
}

void TorvBanner::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        emit doubleClicked();
}

void TorvBanner::showEvent(QShowEvent*)
{
    FAnimation.start();
}

void TorvBanner::hideEvent(QHideEvent*)
{
    FAnimation.stop();
}

TorvClickLabel::TorvClickLabel(QWidget* parent) : QLabel(parent) {}

void TorvClickLabel::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
    QLabel::mouseReleaseEvent(event);
}

void TorvClickLabel::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        emit doubleClicked();
    QLabel::mouseDoubleClickEvent(event);
}

void orvFollowAction(QPushButton* button, QAction* action)
{
    auto sync = [button, action] {
        button->setText(action->text());
        button->setToolTip(action->toolTip());
        button->setEnabled(action->isEnabled());
    };
    sync();
    QObject::connect(action, &QAction::changed, button, sync);
    QObject::connect(action, &QAction::enabledChanged, button, sync);
}

void orvBindButton(QPushButton* button, QAction* action)
{
    orvFollowAction(button, action);
    QObject::connect(button, &QPushButton::clicked, action, [action] { action->trigger(); });
}
