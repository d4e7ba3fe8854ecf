#pragma once

// main() of a benchmark that shows widgets: an offscreen QApplication (unless a platform is set),
// the toolkit's Qt hooks, then the registered benchmarks.

#include "platform/toolkit/qt/ToolkitQt.h"

#include <QApplication>
#include <benchmark/benchmark.h>

#include <cstdlib>

inline int RunQtBenchmarks(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication App(argc, argv);
    TToolkitQtHooks Hooks(false);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
