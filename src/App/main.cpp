#include <QApplication>
#include <QMainWindow>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("Korvalen AI");
    QMainWindow window;
    window.setWindowTitle("Korvalen AI");
    window.setMinimumSize(960, 620);
    window.show();
    return app.exec();
}
