"""The test bed: what the tests, the benchmark and scripts/board share to
run the programs as a host or a lab would. `harness` starts and watches
programs, `lan` builds LANs of network namespaces, `board` boots and
drives the emulated board, `wire` holds the discovery exchange's bytes,
and `sender` forges and floods (it runs as a program, inside a LAN's
namespaces). The project's root must be on PYTHONPATH; the build's tests
and the scripts set it."""
