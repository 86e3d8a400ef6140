wirelens_qt_bench(views_bench views_bench.cpp)
