#pragma once
// The program's command line: what to open, capture or convert, and whether a
// window is needed at all.
#include <QString>
#include <QStringList>

namespace wirelens {

struct CommandLine {
    enum class Action {
        Window,   // start the window (optionally opening a file or capturing)
        Help,     // print the usage and end
        Version,  // print the version and end
        Convert,  // -r IN -w OUT: read and write a capture file, no window
        Print,    // -r IN --print: one line per packet on standard output, no window
        Error,    // the arguments do not make sense; `error` says why
    };
    Action action = Action::Window;
    QString readPath;       // -r FILE, the positional FILE, or "-" for standard input
    QString writePath;      // -w OUT
    QString captureAddress; // -i ADDRESS
    QString filter;         // -f EXPR
    QString error;
    QString helpText;
};

// `arguments` includes the program name first, as QCoreApplication::arguments() does.
CommandLine ParseCommandLine(const QStringList& arguments);

// "wirelens 1.0" and the capture helper it would use.
QString VersionText();

// Why no window can be shown here, or empty when one can.
QString MissingDisplayReason();

}  // namespace wirelens
