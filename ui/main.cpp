#include <QApplication>
#include <cstdio>
#include <cstring>

#include "capture/mdlwinsock.h"
#include "ui/form_main.h"

namespace {

// Answered before any display is opened, so it works on a console or in a script.
bool PrintVersion(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-v") == 0 || std::strcmp(argv[i], "--version") == 0) {
            std::printf("Wirelens %s\ncapture helper: %s\n", WIRELENS_VERSION,
                        wirelens::CaptureHelperPath().c_str());
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (PrintVersion(argc, argv)) return 0;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Wirelens"));
    wirelens::FormMain window;
    if (!window.Form_Load()) return 0;  // another instance is running
    window.show();
    return QApplication::exec();
}
