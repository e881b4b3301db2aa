"""Pure-Python models of the native modules: the oracles of the differential tests
and the baselines of the benchmarks."""
