#include "capture/form_ip.h"
#include "ui/form_main_parts.h"
#include "ui/frm_about.h"
#include "views/packet_views_qt.h"

namespace wirelens {

bool DefaultChooseAddress(const LocalAddressSet& dicAddr, QWidget* owner, std::string& localIp, QString& error) {
    const LocalIpChoice choice = ChooseCaptureAddress(dicAddr, owner);
    switch (choice.outcome) {
        case LocalIpChoice::Outcome::Chosen:
            localIp = choice.localIP;
            return true;
        case LocalIpChoice::Outcome::NoAddress:
            error = QString::fromStdString(choice.error);
            return false;
        default:
            localIp.clear();  // cancelled: no capture, no error
            return true;
    }
}

void DefaultShowAbout(QWidget* owner) { FrmAbout::ShowModal(owner); }

QString DefaultChooseSaveFileName(QWidget* owner, const QString& appFolder) {
    return ChooseReportPath(owner, appFolder);
}

}  // namespace wirelens
