wirelens_bench(packets_bench packets_bench.cpp)
