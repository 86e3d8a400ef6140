// Command routing of the main window: toolbar buttons, their drop-down
// entries, the packet view switches, About and Exit.
#include <QAction>
#include <QPlainTextEdit>
#include <QTreeWidget>

#include "packets/list_view_mode.h"
#include "ui/form_main.h"

namespace wirelens {

void FormMain::Toolbar1_ButtonClick(int index) {
    switch (index) {
        case 1: StartCapture(); break;
        case 2: StopCapture(); break;
        case 3: Menu_Clear_Click(); break;
        case 5:
            if (mSession.ListViewMode() == kModeAll) return;
            mSession.SetListViewMode(kModeAll);
            SetListViewMode();
            ButtonMenu(5, 1)->setText(ButtonMenu(5, 1)->data().toString() + QStringLiteral(" <-"));
            RefreshPacketList();
            break;
        case 6: Menu_Text_Click(); break;
        case 8: Menu_Save_Click(); break;
        case 10: Menu_About_Click(); break;
        default: break;  // separators
    }
}

void FormMain::Toolbar1_ButtonMenuClick(int parentIndex, int entryIndex) {
    if (parentIndex == 5) {
        if (entryIndex < 1 || entryIndex > kListViewModeCount) return;
        ChooseListViewMode(entryIndex - 1);
    } else if (parentIndex == 6) {
        if (entryIndex == 1) Menu_Text_Click();
        else if (entryIndex == 2) Menu_Hex_Click();
    }
}

void FormMain::Menu_Text_Click() {
    txtData->setVisible(true);
    ListViewHEX->setVisible(false);
    Menu_Text->setChecked(true);
    Menu_Hex->setChecked(false);
    ButtonMenu(6, 1)->setText(ButtonMenu(6, 1)->data().toString() + QStringLiteral(" <-"));
    ButtonMenu(6, 2)->setText(ButtonMenu(6, 2)->data().toString());
    SetPanelText(4, QStringLiteral("Packet view -> Text"));
}

void FormMain::Menu_Hex_Click() {
    txtData->setVisible(false);
    ListViewHEX->setVisible(true);
    Menu_Text->setChecked(false);
    Menu_Hex->setChecked(true);
    ButtonMenu(6, 1)->setText(ButtonMenu(6, 1)->data().toString());
    ButtonMenu(6, 2)->setText(ButtonMenu(6, 2)->data().toString() + QStringLiteral(" <-"));
    SetPanelText(4, QStringLiteral("Packet view -> Hex"));
}

void FormMain::Menu_About_Click() {
    if (showAboutBox) showAboutBox();
}

void FormMain::Menu_Exit_Click() {
    close();
}

}  // namespace wirelens
