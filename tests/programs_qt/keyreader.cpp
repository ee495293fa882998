// One focused line edit on a real X display: prints "ready" once typing
// would reach it, then its whole text as a line after every change. The
// tests type into it through XTest and read what arrived.
#include <QApplication>
#include <QLineEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <QWindow>

#include <cstdio>

namespace {

void PrintLine(const QByteArray& line)
{
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle("keyreader");
    auto* edit = new QLineEdit(&window);
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(edit);
    // Without a window manager the pointer may decide the focus: cover most of the screen.
    window.setGeometry(0, 0, 600, 400);
    window.show();
    window.activateWindow();
    edit->setFocus();

    QObject::connect(edit, &QLineEdit::textChanged, [](const QString& text) { PrintLine(text.toUtf8()); });

    // Focus comes asynchronously and may need asking again when no window manager hands it out.
    QTimer check;
    int ticks = 0;
    QObject::connect(&check, &QTimer::timeout, [&] {
        const QWindow* handle = window.windowHandle();
        if (handle && handle->isExposed() && window.isActiveWindow() && edit->hasFocus()) {
            check.stop();
            PrintLine("ready");
            return;
        }
        if (++ticks % 25 == 0) {
            window.activateWindow();
            edit->setFocus();
        }
    });
    check.start(20);
    return app.exec();
}
