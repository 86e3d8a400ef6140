#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <iostream>

#include "dissect/dissect.h"
#include "files/command_line_tasks.h"
#include "packets/available_memory.h"
#include "packets/display_filter.h"
#include "ui/command_line.h"
#include "ui/form_main.h"

int main(int argc, char** argv) {
    wirelens::KeepLargeBlocksMapped();
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
        case CommandLine::Action::Print:
        case CommandLine::Action::Window:
            break;
    }
    // -f: with a file, the packets read; with -i, the capture itself (compiled by the helper).
    wirelens::DisplayFilterResult compiled = wirelens::DisplayFilter::Compile(cl.filter.toStdString());
    if (!compiled.Ok() && cl.captureAddress.isEmpty()) {
        std::fprintf(stderr, "wirelens: invalid filter expression: %s\n", compiled.error.c_str());
        return 2;
    }
    wirelens::PacketPredicate keep;
    if (compiled.Ok() && !compiled.filter.IsEmpty()) {
        keep = [&filter = compiled.filter](std::span<const std::uint8_t> bytes, std::uint32_t wire) {
            return filter.Matches(bytes, wire);
        };
    }
    switch (cl.action) {
        case CommandLine::Action::Convert:
            return wirelens::RunConvert(cl.readPath.toStdString(), cl.writePath.toStdString(), keep, std::cerr);
        case CommandLine::Action::Print:
            return wirelens::RunPrint(cl.readPath.toStdString(), keep,
                                      [](const wirelens::clV&, std::span<const std::uint8_t> bytes, std::uint32_t wire) {
                                          return wirelens::dissect::DatagramSummary(bytes, wire);
                                      },
                                      std::cout, std::cerr);
        default:
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
        window.SetReadFilter(keep);
        window.OpenCaptureFile(cl.readPath);
    } else if (!cl.captureAddress.isEmpty()) {
        window.SetCaptureFilter(cl.filter.toStdString());
        window.StartCaptureOn(cl.captureAddress.toStdString());
    }
    return QApplication::exec();
}
