#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <iostream>

#include "files/command_line_tasks.h"
#include "ui/command_line.h"
#include "ui/form_main.h"

int main(int argc, char** argv) {
    using wirelens::CommandLine;
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLine cl = wirelens::ParseCommandLine(arguments);
    switch (cl.action) {
        case CommandLine::Action::Help:
            std::fputs(cl.helpText.toLocal8Bit().constData(), stdout);
            return 0;
        case CommandLine::Action::Version:
            std::puts(wirelens::VersionText().toLocal8Bit().constData());
            return 0;
        case CommandLine::Action::Error:
            std::fprintf(stderr, "wirelens: %s\nTry 'wirelens --help'.\n", cl.error.toLocal8Bit().constData());
            return 2;
        case CommandLine::Action::Convert:
            return wirelens::RunConvert(cl.readPath.toStdString(), cl.writePath.toStdString(), {}, std::cerr);
        case CommandLine::Action::Print:
            return wirelens::RunPrint(cl.readPath.toStdString(), {}, {}, std::cout, std::cerr);
        case CommandLine::Action::Window:
            break;
    }
    // Without a display Qt would abort with a page of advice; one line says it.
    if (const QString why = wirelens::MissingDisplayReason(); !why.isEmpty()) {
        std::fprintf(stderr, "%s\n", why.toLocal8Bit().constData());
        return 1;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Wirelens"));
    wirelens::FormMain window;
    if (!window.Form_Load()) return 0;  // another instance is running
    window.show();
    if (!cl.readPath.isEmpty()) {
        window.OpenCaptureFile(cl.readPath);
    } else if (!cl.captureAddress.isEmpty()) {
        window.StartCaptureOn(cl.captureAddress.toStdString());
    }
    return QApplication::exec();
}
