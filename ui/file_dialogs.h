#pragma once
// The dialogs of the capture file commands: which file to open, where and
// what to save, and the question before unsaved packets are thrown away.
#include <QString>
#include <cstdint>

class QWidget;

namespace wirelens {

enum class UnsavedChoice;
struct SavePacketsChoice;

UnsavedChoice AskUnsavedPackets(QWidget* parent, const QString& question);
bool AskYesNo(QWidget* parent, const QString& question);
QString ChooseCaptureFileToOpen(QWidget* parent);
SavePacketsChoice ChooseSavePacketsTarget(QWidget* parent, std::int64_t shown, std::int64_t stored);

// The name filters of the open and save dialogs.
inline constexpr const char* kPcapNgFilter = "pcapng (*.pcapng)";
inline constexpr const char* kPcapFilter = "pcap (*.pcap)";

}  // namespace wirelens
