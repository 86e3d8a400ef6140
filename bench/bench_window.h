#pragma once
// The main window as the benchmarks drive it: one local address, messages
// swallowed, its lock file in a folder of the bench's own, loaded but not shown.
#include <QMessageBox>
#include <QString>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

#include "ui/form_main.h"

namespace wirelens::bench {

inline std::unique_ptr<FormMain> MakeBenchWindow(const QTemporaryDir& lockDir) {
    FormMain::Environment env = FormMain::Environment::Default();
    env.showMessage = [](const QString&, QMessageBox::Icon) {};
    env.listLocalAddresses = [](std::vector<std::string>& list) {
        list = {"198.51.100.1;255.255.255.0"};
        return 0;
    };
    env.lockFilePath = lockDir.path() + QStringLiteral("/bench.lock");
    auto window = std::make_unique<FormMain>(env);
    window->Form_Load();
    return window;
}

}  // namespace wirelens::bench
