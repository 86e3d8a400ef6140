wirelens_bench(views_bench views_bench.cpp)
