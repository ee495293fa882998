#pragma once

// Small controls of the main window that Qt does not have as such.

#include <QLabel>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

class QPushButton;
class QAction;

// The animated top banner: the banner picture with the product name, and
// signal waves that pulse while it is visible.
class TorvBanner : public QWidget
{
    Q_OBJECT

public:
    explicit TorvBanner(QWidget* parent);
    int Phase() const { return FPhase; }

signals:
    void doubleClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QPointF WaveCentre() const;
    QRect WaveRect() const;
    void RenderStill();

    QPixmap FBackground;
    QPixmap FStill; // the picture with the name, at the widget's size
    QTimer FAnimation;
    int FPhase = 0;
};

// A label that reports clicks and double-clicks (the logo, the update link).
class TorvClickLabel : public QLabel
{
    Q_OBJECT

public:
    explicit TorvClickLabel(QWidget* parent);

signals:
    void clicked();
    void doubleClicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};

// The button's caption, hint and enabled state follow the action; its click
// is left to the caller.
void orvFollowAction(QPushButton* button, QAction* action);

// Lets a push button stand for an action: caption, hint, enabled state and
// click follow the action, as a button bound to an action does elsewhere.
void orvBindButton(QPushButton* button, QAction* action);
