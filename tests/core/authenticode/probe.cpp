// A tiny loadable module: the tests sign it, check it and load the checked bytes.
extern "C" __attribute__((visibility("default"))) int authenticode_probe_value() {
    return 4129;
}
