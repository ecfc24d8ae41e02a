// A shared library that opens fine but is no NDI runtime: it has no "NDIlib_v5_load".
extern "C" int kelvoraNotNdi() {
    return 42;
}
