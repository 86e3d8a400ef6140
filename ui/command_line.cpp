#include "ui/command_line.h"

#include <QCommandLineParser>
#include <cstdlib>

#include "capture/mdlwinsock.h"

#ifndef WIRELENS_VERSION
#define WIRELENS_VERSION "1.0"
#endif

namespace wirelens {

CommandLine ParseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Wirelens shows the IPv4 datagrams sent from or received at one of this machine's addresses,\n"
        "and opens, saves and converts pcap and pcapng capture files."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help and end."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and end."));
    const QCommandLineOption read({QStringLiteral("r"), QStringLiteral("read")},
                                  QStringLiteral("Read a pcap or pcapng file, or a stream from standard input (-)."),
                                  QStringLiteral("FILE|-"));
    const QCommandLineOption write({QStringLiteral("w"), QStringLiteral("write")},
                                   QStringLiteral("With -r: write the packets read to OUT without a window; "
                                                  "pcap or pcapng by OUT's suffix."),
                                   QStringLiteral("OUT"));
    const QCommandLineOption capture({QStringLiteral("i"), QStringLiteral("interface")},
                                     QStringLiteral("Start capturing on this local IPv4 address at once."),
                                     QStringLiteral("ADDRESS"));
    const QCommandLineOption filter({QStringLiteral("f"), QStringLiteral("filter")},
                                    QStringLiteral("Only packets that match this tcpdump filter expression."),
                                    QStringLiteral("EXPR"));
    const QCommandLineOption print({QStringLiteral("P"), QStringLiteral("print")},
                                   QStringLiteral("With -r: print one line per packet, tab-separated, without a window."));
    parser.addOptions({help, version, read, write, capture, filter, print});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("A capture file to open."),
                                 QStringLiteral("[FILE]"));

    CommandLine cl;
    // There is no application object yet, so the usage line names the program itself.
    cl.helpText = parser.helpText().replace(QStringLiteral("<executable_name>"), QStringLiteral("wirelens"));
    auto fail = [&cl](const QString& why) {
        cl.action = CommandLine::Action::Error;
        cl.error = why;
        return cl;
    };
    if (!parser.parse(arguments)) return fail(parser.errorText());
    if (parser.isSet(help)) {
        cl.action = CommandLine::Action::Help;
        return cl;
    }
    if (parser.isSet(version)) {
        cl.action = CommandLine::Action::Version;
        return cl;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1) return fail(QStringLiteral("Only one capture file can be opened at a time."));
    if (parser.isSet(read) && !positional.isEmpty())
        return fail(QStringLiteral("Give the capture file either with -r or on its own, not both."));
    cl.readPath = parser.isSet(read) ? parser.value(read) : positional.value(0);
    cl.writePath = parser.value(write);
    cl.captureAddress = parser.value(capture);
    cl.filter = parser.value(filter);
    if (!cl.captureAddress.isEmpty() && !cl.readPath.isEmpty())
        return fail(QStringLiteral("Either capture (-i) or read a file (-r), not both."));
    if (parser.isSet(write) && parser.isSet(print)) return fail(QStringLiteral("Either -w or --print, not both."));
    if (parser.isSet(write) || parser.isSet(print)) {
        if (cl.readPath.isEmpty()) return fail(QStringLiteral("-w and --print need a capture file to read (-r FILE)."));
        if (parser.isSet(write) && cl.writePath.isEmpty()) return fail(QStringLiteral("-w needs a file name."));
        cl.action = parser.isSet(write) ? CommandLine::Action::Convert : CommandLine::Action::Print;
    }
    return cl;
}

QString VersionText() {
    return QStringLiteral("wirelens %1\ncapture helper: %2")
        .arg(QStringLiteral(WIRELENS_VERSION), QString::fromStdString(CaptureHelperPath()));
}

QString MissingDisplayReason() {
    // A platform chosen explicitly (offscreen, a VNC server, ...) needs no display variable.
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) return {};
    if (!qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) return {};
    return QStringLiteral("Wirelens needs a graphical display, and none is set (DISPLAY and WAYLAND_DISPLAY are empty).");
}

}  // namespace wirelens
