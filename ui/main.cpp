#include <QApplication>

#include "ui/form_main.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Wirelens"));
    wirelens::FormMain window;
    if (!window.Form_Load()) return 0;  // another instance is running
    window.show();
    return QApplication::exec();
}
