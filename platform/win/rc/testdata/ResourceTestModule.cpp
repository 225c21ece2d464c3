// A module that carries the resources of ResourceTestModule.rc, for the tests
// of the resource and version calls. Its one function lets a test find the
// module by address.
extern "C" __attribute__((visibility("default"))) int QmResourceTestModuleMarker() {
    return 7;
}
