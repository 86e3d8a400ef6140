// The main of the benchmarks that drive widgets: a QApplication, offscreen
// unless a platform is chosen, around Google Benchmark's own run, with the
// program's malloc setting.
#include <benchmark/benchmark.h>

#include <QApplication>

#include "packets/available_memory.h"

int main(int argc, char** argv) {
    wirelens::KeepLargeBlocksMapped();  // as the program does
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
